// Landings on POSIX.
// Supports: the walk below the root with openat(O_NOFOLLOW | O_DIRECTORY) from a descriptor of
// the root, mkdirat for the directories that are missing, the temporary file made with O_EXCL
// beside the target and locked (flock) until it is renamed, fsync of the file before renameat
// and of its directory after it, RENAME_NOREPLACE for failIfExists, and the removal of
// temporary files that no lock holds.
// Quirks:
// - The temporary file and the rename are named relative to the directory's descriptor, so no
//   path limit applies to them: only the root's path is held to MAX_PATH.
// - A landed file is a new inode whose birth time is the landing's: nothing has to be marked.
// - A file system that cannot refuse an existing target atomically (no RENAME_NOREPLACE) is
//   checked just before the rename: a target made between the two is replaced.
// - The directory is flushed once for a run of landings into it (see UnflushedDirectory), not
//   after each rename; a file system that cannot flush a directory (EINVAL) lands without it.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/landing.h"
#include "posix_errors.h"
#include "posix_paths.h"
#include "platform/unique_fd.h"
#include "win32_process.h"

namespace {

using posix::UniqueFd;

// No descriptor, with the last error set.
UniqueFd NoDirectory(DWORD error) {
    SetLastError(error);
    return UniqueFd();
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The components of name, split at backslashes and slashes; nothing when one is empty, "." or
// "..": no such name is walked at all.
std::optional<std::vector<std::string>> Components(const char* name) {
    std::vector<std::string> parts(1);
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/') {
            parts.emplace_back();
        } else {
            parts.back() += *c;
        }
    }
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == "..") return std::nullopt;
    }
    return parts;
}

bool IsLink(int dir, const std::string& name) {
    struct stat st;
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// The directory `name` in dir, made when it is missing and make says so; never a symbolic link.
UniqueFd EnterDirectory(int dir, const std::string& name, bool make = true) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(dir, name.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT && make) {
        // Made by another run meanwhile is as good.
        if (::mkdirat(dir, name.c_str(), 0777) != 0 && errno != EEXIST) {
            return NoDirectory(posix::Win32ErrorFromErrno(errno));
        }
        fd = ::openat(dir, name.c_str(), kFlags);
    }
    if (fd >= 0) return UniqueFd(fd);
    const int error = errno;
    if (error == ELOOP || IsLink(dir, name)) return NoDirectory(ERROR_CANT_RESOLVE_FILENAME);
    return NoDirectory(error == ENOTDIR ? ERROR_PATH_NOT_FOUND : posix::Win32ErrorFromErrno(error));
}

// Removes what killed runs left in a directory: regular files of exactly our temporary form
// that no landing holds (a live one holds a lock on its file until it is renamed) and that were
// not written a moment ago. Each directory is looked through once in a process.
void RemoveStaleTemporaries(int dir) {
    static std::mutex mutex;
    static std::set<std::pair<dev_t, ino_t>> seen;
    struct stat self;
    if (::fstat(dir, &self) != 0) return;
    {
        // Landings may begin on several threads at once.
        const std::lock_guard<std::mutex> lock(mutex);
        if (!seen.emplace(self.st_dev, self.st_ino).second) return;
    }
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    const std::unique_ptr<DIR, DirCloser> listing(::fdopendir(fd));
    if (!listing) {
        ::close(fd);
        return;
    }
    const time_t before = ::time(nullptr) - Landing::kFreshSeconds;
    while (const dirent* entry = ::readdir(listing.get())) {
        if (!Landing::IsTemporaryName(entry->d_name)) continue;
        const UniqueFd file(::openat(dir, entry->d_name,
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st;
        if (file && ::fstat(file.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime < before &&
            ::flock(file.Get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(dir, entry->d_name, 0);
        }
    }
}

// The directory of the last landing, whose renames are not on the disk yet: one flush of a
// directory covers every rename in it so far, so a run of landings into one directory flushes it
// once rather than once a file. It is flushed when a landing goes to another directory, by
// Landing::Settle, and when the process ends. A flush that fails is told by the next Settle.
class UnflushedDirectory {
  public:
    ~UnflushedDirectory() { FlushHeld(); }

    // Holds dir (a descriptor of the directory a rename was made in), flushing the one held
    // before when it is another.
    void Hold(UniqueFd dir) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        struct stat st;
        if (::fstat(dir.Get(), &st) != 0) {
            // Unknown, so never the one held: flushed at once.
            Keep(::fsync(dir.Get()));
            return;
        }
        if (m_dir && st.st_dev == m_device && st.st_ino == m_inode) return;
        FlushHeld();
        m_dir = std::move(dir);
        m_device = st.st_dev;
        m_inode = st.st_ino;
    }

    // Flushes the directory held; false (errno set) when this or an earlier flush failed.
    bool Flush() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return FlushHeld();
    }

  private:
    bool FlushHeld() {
        if (m_dir) Keep(::fsync(m_dir.Get()));
        m_dir.Reset();
        const int error = m_error;
        m_error = 0;
        errno = error;
        return error == 0;
    }

    // A file system that cannot flush a directory (EINVAL) lands without that flush.
    void Keep(int result) {
        if (result != 0 && errno != EINVAL && m_error == 0) m_error = errno;
    }

    std::mutex m_mutex;  // landings may commit on several threads
    UniqueFd m_dir;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    int m_error = 0;
};

UnflushedDirectory& Unflushed() {
    static UnflushedDirectory directory;
    return directory;
}

class PosixLanding final : public Landing {
  public:
    PosixLanding(UniqueFd dir, std::string target, bool failIfExists)
        : m_dir(std::move(dir)), m_strTarget(std::move(target)), m_bFailIfExists(failIfExists) {}

    // Neither close() nor unlinkat() touches the last error, which is ours.
    ~PosixLanding() override {
        if (m_strTemporary.empty() || m_bCommitted) return;
        m_file.Reset();
        ::unlinkat(m_dir.Get(), m_strTemporary.c_str(), 0);
    }

    // Creates the temporary file under the first free name.
    bool Create(mode_t mode) {
        static std::atomic<unsigned> counter{static_cast<unsigned>(
            std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid())};
        constexpr int kNameAttempts = 64;
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            const std::string name = TemporaryName(counter++);
            const int fd = ::openat(m_dir.Get(), name.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd >= 0) {
                m_file.Reset(fd);
                m_strTemporary = name;
                // Held until the rename: no other run takes it for a leftover. A file system
                // without locks refuses them to every run alike, which then removes nothing.
                ::flock(fd, LOCK_EX | LOCK_NB);
                return true;
            }
            if (errno != EEXIST) return posix::FailErrno(errno);
        }
        return posix::FailWith(ERROR_FILE_EXISTS, false);
    }

    BOOL Write(LPCVOID data, DWORD size) override {
        const char* bytes = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t written = ::write(m_file.Get(), bytes, size);
            if (written < 0) {
                if (errno == EINTR) continue;
                return posix::FailErrno(errno);
            }
            bytes += written;
            size -= static_cast<DWORD>(written);
        }
        return TRUE;
    }

    BOOL Commit() override {
        // Renamed while still open, and so still held: closed afterwards (its data is on the
        // disk already).
        if (::fsync(m_file.Get()) != 0) return posix::FailErrno(errno);
        if (!Rename()) return FALSE;
        m_file.Close();
        m_bCommitted = true;
        Unflushed().Hold(std::move(m_dir));
        return TRUE;
    }

  private:
    bool Rename() {
        const int dir = m_dir.Get();
        const char* from = m_strTemporary.c_str();
        const char* to = m_strTarget.c_str();
        if (!m_bFailIfExists) {
            return ::renameat(dir, from, dir, to) == 0 || posix::FailErrno(errno);
        }
        if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return true;
        if (errno == EEXIST) return posix::Fail(ERROR_FILE_EXISTS);
        if (errno != EINVAL && errno != ENOSYS) return posix::FailErrno(errno);
        struct stat st;
        if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
            return posix::Fail(ERROR_FILE_EXISTS);
        return ::renameat(dir, from, dir, to) == 0 || posix::FailErrno(errno);
    }

    UniqueFd m_dir;
    UniqueFd m_file;
    std::string m_strTarget;
    std::string m_strTemporary;
    bool m_bFailIfExists;
    bool m_bCommitted = false;
};

}  // namespace

BOOL Landing::Settle() {
    return Unflushed().Flush() || posix::FailErrno(errno);
}

void Landing::RemoveLeftovers(LPCSTR root, LPCSTR directory) {
    const std::optional<std::string> rootPath = posix::PathArgument(root);
    const bool itself = directory == nullptr || *directory == '\0';
    const std::optional<std::vector<std::string>> parts =
        itself ? std::vector<std::string>() : Components(directory);
    if (!rootPath || !parts) return;
    UniqueFd dir(::open(rootPath->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& part : *parts) {
        if (!dir) return;
        dir = EnterDirectory(dir.Get(), part, false);
    }
    if (dir) RemoveStaleTemporaries(dir.Get());
}

BOOL Landing::Remove(LPCSTR root, LPCSTR name) {
    const std::optional<std::string> rootPath = posix::PathArgument(root);
    if (!rootPath) return FALSE;
    if (name == nullptr) return posix::FailWith(ERROR_INVALID_PARAMETER, FALSE);
    const std::optional<std::vector<std::string>> parts = Components(name);
    if (!parts || IsOwnName(std::string_view(parts->back()))) {
        return posix::FailWith(ERROR_INVALID_NAME, FALSE);
    }
    // Every directory from the root down, the root's first.
    std::vector<UniqueFd> dirs;
    dirs.emplace_back(::open(rootPath->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirs.back()) return posix::FailWith(posix::Win32ErrorFromErrno(errno, *rootPath), FALSE);
    for (size_t i = 0; i + 1 < parts->size(); ++i) {
        dirs.push_back(EnterDirectory(dirs.back().Get(), (*parts)[i], false));
        if (!dirs.back()) {
            return GetLastError() == ERROR_FILE_NOT_FOUND ? posix::Fail(ERROR_PATH_NOT_FOUND)
                                                          : FALSE;
        }
    }
    const char* leaf = parts->back().c_str();
    struct stat st;
    if (::fstatat(dirs.back().Get(), leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return posix::FailErrno(errno);
    }
    if (S_ISLNK(st.st_mode)) return posix::Fail(ERROR_CANT_RESOLVE_FILENAME);
    if (!S_ISREG(st.st_mode)) return posix::Fail(ERROR_ACCESS_DENIED);
    // Should name have become a directory meanwhile, unlinkat refuses it (EISDIR).
    if (::unlinkat(dirs.back().Get(), leaf, 0) != 0) return posix::FailErrno(errno);
    // The directories left empty go from the deepest up, each named in the one above it.
    size_t level = dirs.size() - 1;
    for (; level > 0; --level) {
        if (::unlinkat(dirs[level - 1].Get(), (*parts)[level - 1].c_str(), AT_REMOVEDIR) != 0) {
            break;
        }
    }
    Unflushed().Hold(std::move(dirs[level]));
    return TRUE;
}

std::unique_ptr<Landing> Landing::Begin(LPCSTR root, LPCSTR name, DWORD attributes,
                                        bool failIfExists) {
    std::optional<std::string> rootPath = posix::PathArgument(root);
    if (!rootPath) return nullptr;
    if (name == nullptr) return posix::FailWith(ERROR_INVALID_PARAMETER, nullptr);
    std::optional<std::vector<std::string>> parts = Components(name);
    if (!parts || IsOwnName(std::string_view(parts->back()))) {
        return posix::FailWith(ERROR_INVALID_NAME, nullptr);
    }

    UniqueFd dir(::open(rootPath->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return posix::FailWith(posix::Win32ErrorFromErrno(errno, *rootPath), nullptr);
    for (size_t i = 0; i + 1 < parts->size(); ++i) {
        dir = EnterDirectory(dir.Get(), (*parts)[i]);
        if (!dir) return nullptr;
    }
    const std::string& leaf = parts->back();
    struct stat st;
    if (failIfExists && ::fstatat(dir.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return posix::FailWith(ERROR_FILE_EXISTS, nullptr);
    }
    RemoveStaleTemporaries(dir.Get());
    auto landing = std::make_unique<PosixLanding>(std::move(dir), leaf, failIfExists);
    const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    if (!landing->Create(mode)) return nullptr;
    return landing;
}
