// Landings on Windows.
// Supports: the walk below the root component by component, each directory made when missing
// and held open (without FILE_SHARE_DELETE) until the landing ends, so that nothing can rename
// or replace one on the way meanwhile; a directory that is a reparse point (a symbolic link or
// a junction) is refused; the temporary file is flushed (FlushFileBuffers) and renamed with
// MOVEFILE_WRITE_THROUGH; the landed file's creation time is set to the present.
// Quirks:
// - Paths go to the wide calls in their "\\?\" form, so the temporary name never meets the
//   MAX_PATH limit of the ANSI calls where the target itself fits.
// - NTFS "tunnels" the creation time of a name that was removed or renamed away a moment ago to
//   the file that takes the name, so a landed file could come out with the old copy's creation
//   time; it is set again after the rename. FAT keeps creation times in 10 ms steps.
// - Wine opens what a symbolic link leads to even when asked for the link
//   (FILE_FLAG_OPEN_REPARSE_POINT) and shows the link only in the attributes of its path, so the
//   path is looked at again once its directory is held. Wine shows no symbolic link to a file
//   at all; a link at the target's own name is replaced, which is all that happens to one.
// - The temporary file is open without sharing while it is written, so that no other run can
//   remove it; it is closed for the rename, and a file written in the last two seconds is
//   therefore spared by the clean-up.
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/handle_owners.h"
#include "platform/landing.h"

namespace {

template <class T>
T FailWith(DWORD error, T failed) {
    SetLastError(error);
    return failed;
}

std::wstring Wide(LPCSTR text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<size_t>(size - 1));
    return wide;
}

// The absolute "\\?\" form of a path; empty with the last error set when it has none.
std::wstring ExtendedPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return std::wstring();
    full.resize(length);
    if (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (full.compare(0, 4, L"\\\\?\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The components of name, split at backslashes and slashes; none when one is empty, "." or
// "..": no such name is walked at all.
std::vector<std::wstring> Components(const std::wstring& name) {
    std::vector<std::wstring> parts(1);
    for (wchar_t c : name) {
        if (c == L'\\' || c == L'/') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    for (const std::wstring& part : parts) {
        if (part.empty() || part == L"." || part == L"..") return {};
    }
    return parts;
}

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the directory at path for as long as the landing needs it to stay where it is.
FileHandle HoldDirectory(const std::wstring& path, bool followLink) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE raw = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, flags, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return FileHandle();
    FileHandle held(raw);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(raw, &info)) return FileHandle();
    if (!followLink && IsLink(info.dwFileAttributes)) {
        return FailWith(ERROR_CANT_RESOLVE_FILENAME, FileHandle());
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return FailWith(ERROR_DIRECTORY, FileHandle());
    }
    return held;
}

// Enters the directory at path below one already held, making it when it is missing and make
// says so; never through a reparse point.
FileHandle EnterDirectory(const std::wstring& path, bool make = true) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!make) return FileHandle();
        // Made by another run meanwhile is as good.
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return FileHandle();
        }
        attributes = GetFileAttributesW(path.c_str());
    }
    if (IsLink(attributes)) return FailWith(ERROR_CANT_RESOLVE_FILENAME, FileHandle());
    FileHandle held = HoldDirectory(path, false);
    if (held && IsLink(GetFileAttributesW(path.c_str()))) {
        return FailWith(ERROR_CANT_RESOLVE_FILENAME, FileHandle());
    }
    return held;
}

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Removes what killed runs left in a directory: files of exactly our temporary form that were
// not written a moment ago. One that a live landing holds open (without delete sharing) cannot
// be removed. Each directory (held) is looked through once in a process.
void RemoveStaleTemporaries(const std::wstring& directory, HANDLE held) {
    static std::mutex mutex;
    static std::set<std::tuple<DWORD, DWORD, DWORD>> seen;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(held, &info)) return;
    {
        // Landings may begin on several threads at once.
        const std::lock_guard<std::mutex> lock(mutex);
        if (!seen.emplace(info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow)
                 .second) {
            return;
        }
    }
    WIN32_FIND_DATAW found;
    HANDLE raw = FindFirstFileW((directory + L"\\~kst????.tmp").c_str(), &found);
    if (raw == INVALID_HANDLE_VALUE) return;
    const SearchHandle search(raw);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG before = Ticks(now) - ULONGLONG{Landing::kFreshSeconds} * 10000000u;
    do {
        // The search also matches by short names: only the long name decides.
        std::string name;
        for (const wchar_t* c = found.cFileName; *c != L'\0' && *c < 0x80; ++c) {
            name += static_cast<char>(*c);
        }
        if (name.size() != wcslen(found.cFileName) || !Landing::IsTemporaryName(name.c_str()) ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                0 ||
            Ticks(found.ftLastWriteTime) >= before) {
            continue;
        }
        DeleteFileW((directory + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(raw, &found));
}

class Win32Landing final : public Landing {
  public:
    Win32Landing(std::vector<FileHandle> held, std::wstring directory, std::wstring target,
                 bool failIfExists)
        : m_held(std::move(held)),
          m_strDirectory(std::move(directory)),
          m_strTarget(m_strDirectory + L"\\" + target),
          m_bFailIfExists(failIfExists) {}

    ~Win32Landing() override {
        if (m_strTemporary.empty() || m_bCommitted) return;
        const DWORD error = GetLastError();
        m_file.reset();
        DeleteFileW(m_strTemporary.c_str());
        SetLastError(error);
    }

    // Creates the temporary file under the first free name.
    bool Create(DWORD attributes) {
        static std::atomic<unsigned> counter{GetTickCount() ^ GetCurrentProcessId()};
        constexpr int kNameAttempts = 64;
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            const std::string name = TemporaryName(counter++);
            const std::wstring path =
                m_strDirectory + L"\\" + std::wstring(name.begin(), name.end());
            HANDLE raw = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     attributes & FILE_ATTRIBUTE_READONLY ? FILE_ATTRIBUTE_READONLY
                                                                          : FILE_ATTRIBUTE_NORMAL,
                                     nullptr);
            if (raw != INVALID_HANDLE_VALUE) {
                m_file.reset(raw);
                m_strTemporary = path;
                return true;
            }
            if (GetLastError() != ERROR_FILE_EXISTS) return false;
        }
        return FailWith(ERROR_FILE_EXISTS, false);
    }

    BOOL Write(LPCVOID data, DWORD size) override {
        const char* bytes = static_cast<const char*>(data);
        while (size > 0) {
            DWORD written = 0;
            if (!WriteFile(m_file.get(), bytes, size, &written, nullptr)) return FALSE;
            if (written == 0) return FailWith(ERROR_WRITE_FAULT, FALSE);
            bytes += written;
            size -= written;
        }
        return TRUE;
    }

    BOOL Commit() override {
        if (!FlushFileBuffers(m_file.get())) return FALSE;
        m_file.reset();
        const DWORD flags =
            MOVEFILE_WRITE_THROUGH | (m_bFailIfExists ? 0 : MOVEFILE_REPLACE_EXISTING);
        if (!MoveFileExW(m_strTemporary.c_str(), m_strTarget.c_str(), flags)) {
            const DWORD error = GetLastError();
            return FailWith(error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error, FALSE);
        }
        m_bCommitted = true;
        MarkCreatedNow();
        return TRUE;
    }

  private:
    // A creation time left stale only makes a later run fetch the file again, so a failure here
    // does not undo the landing.
    void MarkCreatedNow() {
        HANDLE raw = CreateFileW(m_strTarget.c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (raw == INVALID_HANDLE_VALUE) return;
        const FileHandle file(raw);
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        SetFileTime(file.get(), &now, nullptr, nullptr);
    }

    std::vector<FileHandle> m_held;
    std::wstring m_strDirectory;
    std::wstring m_strTarget;
    std::wstring m_strTemporary;
    FileHandle m_file;
    bool m_bFailIfExists;
    bool m_bCommitted = false;
};

}  // namespace

// Each rename was written through (MOVEFILE_WRITE_THROUGH) when it was made.
BOOL Landing::Settle() {
    return TRUE;
}

void Landing::RemoveLeftovers(LPCSTR root, LPCSTR directory) {
    if (root == nullptr) return;
    const bool itself = directory == nullptr || *directory == '\0';
    const std::vector<std::wstring> parts =
        itself ? std::vector<std::wstring>() : Components(Wide(directory));
    std::wstring path = ExtendedPath(Wide(root));
    if ((!itself && parts.empty()) || path.empty()) return;
    FileHandle held = HoldDirectory(path, true);
    for (const std::wstring& part : parts) {
        if (!held) return;
        path += L"\\" + part;
        held = EnterDirectory(path, false);
    }
    if (held) RemoveStaleTemporaries(path, held.get());
}

std::unique_ptr<Landing> Landing::Begin(LPCSTR root, LPCSTR name, DWORD attributes,
                                        bool failIfExists) {
    if (root == nullptr || name == nullptr) return FailWith(ERROR_INVALID_PARAMETER, nullptr);
    const std::vector<std::wstring> parts = Components(Wide(name));
    if (parts.empty()) return FailWith(ERROR_INVALID_NAME, nullptr);
    std::wstring directory = ExtendedPath(Wide(root));
    if (directory.empty()) return FailWith(ERROR_PATH_NOT_FOUND, nullptr);

    std::vector<FileHandle> held;
    held.push_back(HoldDirectory(directory, true));
    if (!held.back()) return nullptr;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        directory += L"\\" + parts[i];
        held.push_back(EnterDirectory(directory));
        if (!held.back()) return nullptr;
    }
    const std::wstring target = directory + L"\\" + parts.back();
    if (failIfExists && GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return FailWith(ERROR_FILE_EXISTS, nullptr);
    }
    RemoveStaleTemporaries(directory, held.back().get());
    auto landing =
        std::make_unique<Win32Landing>(std::move(held), directory, parts.back(), failIfExists);
    if (!landing->Create(attributes)) return nullptr;
    return landing;
}
