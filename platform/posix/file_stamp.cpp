// Stamps and whole reads of local files on POSIX: one lstat for a stamp (the change time is the
// inode's, which every write, rename and change of the times moves on), and a read through one
// descriptor, stamped before and after; whose a file is, is its owner.
#include "platform/file_stamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/unique_fd.h"
#include "posix_paths.h"

namespace files {

namespace {

constexpr std::size_t kReadPiece = 256 * 1024;

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

std::optional<FileStamp> RegularFileStamp(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    return FileStamp{static_cast<std::uint64_t>(st.st_size), Nanoseconds(st.st_mtim),
                     Nanoseconds(st.st_ctim), static_cast<std::uint64_t>(st.st_dev),
                     static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

std::optional<FileStamp> StampOf(const char* path) {
    const std::optional<std::string> local = posix::ToPosixPath(path);
    struct stat st {};
    if (!local || lstat(local->c_str(), &st) != 0) return std::nullopt;
    return RegularFileStamp(st);
}

namespace {

// Reads an opened file whole (see ReadWholeFile).
std::optional<FileStamp> ReadOpened(const posix::UniqueFd& file,
                                    const std::function<bool(const void*, std::size_t)>& take) {
    struct stat st {};
    if (!file || fstat(file.Get(), &st) != 0) return std::nullopt;
    const std::optional<FileStamp> before = RegularFileStamp(st);
    if (!before) return std::nullopt;
    std::vector<unsigned char> piece(kReadPiece);
    for (;;) {
        const ssize_t got = read(file.Get(), piece.data(), piece.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        if (!take(piece.data(), static_cast<std::size_t>(got))) return std::nullopt;
    }
    if (fstat(file.Get(), &st) != 0 || RegularFileStamp(st) != before) return std::nullopt;
    return before;
}

bool Own(const posix::UniqueFd& file) {
    struct stat st {};
    return file && fstat(file.Get(), &st) == 0 && st.st_uid == geteuid();
}

// Without waiting for a writer, should a pipe stand there: it is no regular file anyway.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

std::optional<FileStamp> ReadWholeFile(const char* path,
                                       const std::function<bool(const void*, std::size_t)>& take) {
    const std::optional<std::string> local = posix::ToPosixPath(path);
    if (!local) return std::nullopt;
    return ReadOpened(posix::UniqueFd(open(local->c_str(), kReadFlags)), take);
}

std::optional<FileStamp> ReadOwnFile(const char* directory, const char* name,
                                     const std::function<bool(const void*, std::size_t)>& take) {
    const std::optional<std::string> local = posix::ToPosixPath(directory);
    if (!local) return std::nullopt;
    // The file is opened in the directory that was checked, not by its path once more.
    const posix::UniqueFd folder(open(local->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!Own(folder)) return std::nullopt;
    const posix::UniqueFd file(openat(folder.Get(), name, kReadFlags));
    if (!Own(file)) return std::nullopt;
    return ReadOpened(file, take);
}

}  // namespace files
