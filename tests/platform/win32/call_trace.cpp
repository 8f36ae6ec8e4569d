#include "call_trace.h"

#include <cstring>
#include <map>
#include <string_view>

#include "platform/landing.h"
#include "platform/win32api.h"

namespace {

CallTrace* g_trace = nullptr;
std::map<HANDLE, std::string> g_open;  // the handles of recorded opens, by their path

// The system's own functions, as the import table held them before it was pointed elsewhere.
struct Real {
    decltype(&CreateFileW) createFile = nullptr;
    decltype(&GetFileAttributesW) getAttributes = nullptr;
    decltype(&CreateDirectoryW) createDirectory = nullptr;
    decltype(&FlushFileBuffers) flush = nullptr;
    decltype(&MoveFileExW) move = nullptr;
    decltype(&SetFileTime) setTime = nullptr;
    decltype(&CloseHandle) close = nullptr;
};
Real g_real;

std::wstring FullPath(const std::wstring& path) {
    std::wstring full(32768, L'\0');
    full.resize(
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    return full;
}

// Held by each recorder while it notes a call: the caller sees the last error that the system's
// function left.
class KeepLastError {
  public:
    KeepLastError() : m_error(GetLastError()) {}
    ~KeepLastError() { SetLastError(m_error); }

  private:
    DWORD m_error;
};

}  // namespace

struct TraceHooks {
    // path relative to the root; empty when it lies elsewhere or nothing is being recorded.
    static std::string Relative(LPCWSTR path) {
        if (g_trace == nullptr || path == nullptr) return std::string();
        std::wstring rest = path;
        if (rest.compare(0, 4, L"\\\\?\\") == 0) rest.erase(0, 4);
        const std::wstring& root = g_trace->m_root;
        if (rest.size() < root.size() ||
            CompareStringOrdinal(rest.c_str(), static_cast<int>(root.size()), root.c_str(),
                                 static_cast<int>(root.size()), TRUE) != CSTR_EQUAL) {
            return std::string();
        }
        if (rest.size() == root.size()) return ".";
        if (rest[root.size()] != L'\\') return std::string();
        std::string relative;
        std::string component;
        for (size_t i = root.size() + 1; i <= rest.size(); ++i) {
            if (i == rest.size() || rest[i] == L'\\') {
                if (!relative.empty()) relative += '\\';
                const std::string_view aside = Landing::AsideOf(std::string_view(component));
                relative += Landing::IsTemporaryName(component.c_str()) ? "~kst????.tmp"
                            : aside.empty()                             ? component
                                            : "~kst????~" + std::string(aside);
                component.clear();
            } else {
                component += static_cast<char>(rest[i]);
            }
        }
        return relative;
    }

    static void Note(const std::string& call) { g_trace->m_calls.push_back(call); }

    static HANDLE WINAPI OnCreateFile(LPCWSTR path, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD flags, HANDLE model) {
        const HANDLE file =
            g_real.createFile(path, access, share, security, disposition, flags, model);
        const KeepLastError keep;
        const std::string relative = Relative(path);
        if (!relative.empty()) {
            Note((flags & FILE_FLAG_BACKUP_SEMANTICS ? "hold "
                  : disposition == CREATE_NEW        ? "create "
                                                     : "open ") +
                 relative);
            if (file != INVALID_HANDLE_VALUE) g_open[file] = relative;
        }
        return file;
    }

    static DWORD WINAPI OnGetAttributes(LPCWSTR path) {
        DWORD attributes = g_real.getAttributes(path);
        const KeepLastError keep;
        const std::string relative = Relative(path);
        if (relative.empty()) return attributes;
        Note("look " + relative);
        if (relative == g_trace->m_link && ++g_trace->m_linkLooks >= g_trace->m_linkFromLook &&
            attributes != INVALID_FILE_ATTRIBUTES) {
            attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        }
        return attributes;
    }

    static BOOL WINAPI OnCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
        const BOOL made = g_real.createDirectory(path, security);
        const KeepLastError keep;
        if (const std::string relative = Relative(path); !relative.empty())
            Note("mkdir " + relative);
        return made;
    }

    static std::string OpenPath(HANDLE file) {
        if (g_trace == nullptr) return std::string();
        const auto found = g_open.find(file);
        return found != g_open.end() ? found->second : std::string();
    }

    static BOOL WINAPI OnFlush(HANDLE file) {
        const BOOL flushed = g_real.flush(file);
        const KeepLastError keep;
        if (const std::string path = OpenPath(file); !path.empty()) Note("flush " + path);
        return flushed;
    }

    static BOOL WINAPI OnMove(LPCWSTR from, LPCWSTR to, DWORD flags) {
        const std::string source = Relative(from);
        const std::string call =
            source.empty() ? std::string()
                           : "rename " + source + " to " + Relative(to) +
                                 (flags & MOVEFILE_WRITE_THROUGH ? " written through" : "") +
                                 (flags & MOVEFILE_REPLACE_EXISTING ? " replacing" : "");
        if (!call.empty() && call == g_trace->m_refused) {
            Note(call);
            SetLastError(g_trace->m_refusedError);
            return FALSE;
        }
        const BOOL moved = g_real.move(from, to, flags);
        const KeepLastError keep;
        if (!call.empty()) Note(call);
        return moved;
    }

    static BOOL WINAPI OnSetTime(HANDLE file, const FILETIME* created, const FILETIME* accessed,
                                 const FILETIME* written) {
        const BOOL set = g_real.setTime(file, created, accessed, written);
        const KeepLastError keep;
        if (const std::string path = OpenPath(file); !path.empty() && created != nullptr) {
            Note("set creation time of " + path);
        }
        return set;
    }

    static BOOL WINAPI OnClose(HANDLE handle) {
        if (g_trace != nullptr) g_open.erase(handle);
        return g_real.close(handle);
    }

    // The import table entry of each function that a recorder stands in for, with the
    // recorder and the place that keeps the system's own function.
    struct Entry {
        const char* name;
        void* recorder;
        void** real;
    };
    static std::vector<Entry> Entries() {
        return {{"CreateFileW", reinterpret_cast<void*>(&OnCreateFile),
                 reinterpret_cast<void**>(&g_real.createFile)},
                {"GetFileAttributesW", reinterpret_cast<void*>(&OnGetAttributes),
                 reinterpret_cast<void**>(&g_real.getAttributes)},
                {"CreateDirectoryW", reinterpret_cast<void*>(&OnCreateDirectory),
                 reinterpret_cast<void**>(&g_real.createDirectory)},
                {"FlushFileBuffers", reinterpret_cast<void*>(&OnFlush),
                 reinterpret_cast<void**>(&g_real.flush)},
                {"MoveFileExW", reinterpret_cast<void*>(&OnMove),
                 reinterpret_cast<void**>(&g_real.move)},
                {"SetFileTime", reinterpret_cast<void*>(&OnSetTime),
                 reinterpret_cast<void**>(&g_real.setTime)},
                {"CloseHandle", reinterpret_cast<void*>(&OnClose),
                 reinterpret_cast<void**>(&g_real.close)}};
    }

    // Points the program's import table entries, found by their names, at the recorders
    // (record) or back at the system's functions; how many entries were found.
    static size_t Repoint(bool record) {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        size_t found = 0;
        for (auto* module =
                 reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             module->Name != 0; ++module) {
            if (lstrcmpiA(reinterpret_cast<const char*>(base + module->Name), "kernel32.dll") !=
                    0 ||
                module->OriginalFirstThunk == 0) {
                continue;
            }
            const auto* names =
                reinterpret_cast<const IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
            auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++entry) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                const char* name = reinterpret_cast<const char*>(
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)
                        ->Name);
                for (const Entry& e : Entries()) {
                    if (std::strcmp(name, e.name) != 0) continue;
                    if (record) *e.real = reinterpret_cast<void*>(entry->u1.Function);
                    DWORD protection = 0;
                    VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, PAGE_READWRITE,
                                   &protection);
                    entry->u1.Function = reinterpret_cast<ULONG_PTR>(record ? e.recorder : *e.real);
                    VirtualProtect(&entry->u1.Function, sizeof entry->u1.Function, protection,
                                   &protection);
                    ++found;
                }
            }
        }
        return found;
    }
};

CallTrace::CallTrace(const std::string& root)
    : m_root(FullPath(std::wstring(root.begin(), root.end()))) {
    if (!m_root.empty() && m_root.back() == L'\\') m_root.pop_back();
    g_trace = this;
    m_complete = TraceHooks::Repoint(true) == TraceHooks::Entries().size();
}

CallTrace::~CallTrace() {
    TraceHooks::Repoint(false);
    g_trace = nullptr;
    g_open.clear();
}
void CallTrace::ShowAsLink(const std::string& path, int fromLook) {
    m_link = path;
    m_linkFromLook = fromLook;
    m_linkLooks = 0;
}
