// Landings on Windows.
// Supports: the walk below the root component by component (landing_walk.h), each directory
// made when missing and held open until the landing ends; the temporary file is flushed
// (FlushFileBuffers) and renamed with MOVEFILE_WRITE_THROUGH; a target in use (a running
// program, a loaded library) is renamed aside first (aside.h); the landed file's creation time
// is set to the present; the sweep puts back the copies aside of killed runs.
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
#include <vector>

#include "aside.h"
#include "landing_walk.h"
#include "platform/handle_owners.h"
#include "platform/landing.h"

namespace {

using landing_walk::FailWith;

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Whether a file found by a search is a temporary file of ours written before `before`.
bool IsStaleTemporary(const WIN32_FIND_DATAW& found, ULONGLONG before) {
    return Landing::IsTemporaryName(std::wstring_view(found.cFileName)) &&
           Ticks(found.ftLastWriteTime) < before;
}

// Removes what killed runs left in a directory (held by the caller): files of exactly our
// temporary form that were not written a moment ago (one that a live landing holds open,
// without delete sharing, cannot be removed), and copies aside, each put back when its name is
// missing and else removed when nothing holds it. Each directory is looked through once in a
// process, known by its path: a directory's identity (its file index) is no key, as a directory
// made after another was removed may take the same one, or a file system may report none.
void RemoveStaleTemporaries(const std::wstring& directory) {
    static std::mutex mutex;
    static std::set<std::wstring> seen;
    std::wstring key = directory;
    CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    {
        // Landings may begin on several threads at once.
        const std::lock_guard<std::mutex> lock(mutex);
        if (!seen.insert(std::move(key)).second) return;
    }
    WIN32_FIND_DATAW found;
    HANDLE raw = FindFirstFileW((directory + L"\\~kst*").c_str(), &found);
    if (raw == INVALID_HANDLE_VALUE) return;
    const SearchHandle search(raw);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG before = Ticks(now) - ULONGLONG{Landing::kFreshSeconds} * 10000000u;
    do {
        // The search also matches by short names: only the long name decides.
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            0) {
            continue;
        }
        if (IsStaleTemporary(found, before)) {
            DeleteFileW((directory + L"\\" + found.cFileName).c_str());
        } else {
            aside::Sweep(directory, found.cFileName);
        }
    } while (FindNextFileW(raw, &found));
}

class Win32Landing final : public Landing {
  public:
    Win32Landing(landing_walk::Walk walk, bool failIfExists)
        : m_held(std::move(walk.held)),
          m_strDirectory(walk.Directory()),
          m_strLeaf(walk.leaf),
          m_strTarget(walk.Target()),
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
            if (m_bFailIfExists || !aside::MayBeInUse(error) || !LandBesideCopyInUse()) {
                return FailWith(error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error, FALSE);
            }
        }
        m_bCommitted = true;
        MarkCreatedNow();
        return TRUE;
    }

  private:
    // The target could not be replaced, perhaps because a running program or a loaded library
    // maps it: renamed aside, it makes room for the temporary file. The target is never left
    // missing: the copy aside goes back when the second rename fails (and should this process
    // end between the two, the next run's sweep puts it back). False, the last error untouched,
    // when the target could not be renamed.
    bool LandBesideCopyInUse() {
        const DWORD error = GetLastError();
        const std::wstring copy = aside::MoveAside(m_strDirectory, m_strLeaf, true);
        if (copy.empty()) return FailWith(error, false);
        if (!MoveFileExW(m_strTemporary.c_str(), m_strTarget.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD failed = GetLastError();
            aside::PutBack(copy, m_strTarget);
            return FailWith(failed, false);
        }
        // Held by its program still, it stays for the sweep of a later run.
        aside::Discard(copy);
        return true;
    }

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
    std::wstring m_strLeaf;
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
    using namespace landing_walk;
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
    if (held) RemoveStaleTemporaries(path);
}

std::unique_ptr<Landing> Landing::Begin(LPCSTR root, LPCSTR name, DWORD attributes,
                                        bool failIfExists) {
    landing_walk::Walk walk;
    if (!landing_walk::WalkTo(root, name, true, walk)) return nullptr;
    if (failIfExists && GetFileAttributesW(walk.Target().c_str()) != INVALID_FILE_ATTRIBUTES) {
        return FailWith(ERROR_FILE_EXISTS, nullptr);
    }
    RemoveStaleTemporaries(walk.Directory());
    auto landing = std::make_unique<Win32Landing>(std::move(walk), failIfExists);
    if (!landing->Create(attributes)) return nullptr;
    return landing;
}
