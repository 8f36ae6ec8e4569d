// File operations on POSIX: DeleteFileA, MoveFileExA, GetFileAttributesA.
// Supports: deleting a file (not a directory); moving a file or directory, replacing an existing
// file only with MOVEFILE_REPLACE_EXISTING, atomically either way (rename, renameat2); the
// attributes FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_READONLY and FILE_ATTRIBUTE_NORMAL.
// Quirks:
// - Whether a file may be deleted or replaced is the directory's permission on POSIX: a file
//   without write permission (read-only) is deleted, where Windows refuses.
// - FILE_ATTRIBUTE_READONLY stands for "no write permission for anyone"; hidden, system and
//   archive attributes have no counterpart and never appear.
// - Without MOVEFILE_REPLACE_EXISTING, a file system that cannot refuse an existing target
//   atomically (no RENAME_NOREPLACE) is checked first and then renamed: a target made between
//   the two is replaced.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "posix_errors.h"
#include "posix_paths.h"
#include "win32_files.h"
#include "win32_process.h"

using posix::Fail;
using posix::FailErrno;

BOOL DeleteFileA(LPCSTR lpFileName) {
    std::optional<std::string> path = posix::PathArgument(lpFileName);
    if (!path) return FALSE;
    if (::unlink(path->c_str()) != 0) return FailErrno(errno, *path);
    return TRUE;
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if ((dwFlags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING)) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::optional<std::string> from = posix::PathArgument(lpExistingFileName);
    if (!from) return FALSE;
    std::optional<std::string> to = posix::PathArgument(lpNewFileName);
    if (!to) return FALSE;
    struct stat source;
    if (::lstat(from->c_str(), &source) != 0) return FailErrno(errno, *from);

    if (dwFlags & MOVEFILE_REPLACE_EXISTING) {
        // Windows replaces files only; rename() would also replace an empty directory.
        struct stat target;
        if (::lstat(to->c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
            return Fail(ERROR_ACCESS_DENIED);
        }
        if (::rename(from->c_str(), to->c_str()) != 0) return FailErrno(errno, *to);
        return TRUE;
    }
    if (::renameat2(AT_FDCWD, from->c_str(), AT_FDCWD, to->c_str(), RENAME_NOREPLACE) == 0) {
        return TRUE;
    }
    if (errno != EINVAL && errno != ENOSYS) return FailErrno(errno, *to);
    struct stat target;
    if (::lstat(to->c_str(), &target) == 0) return Fail(ERROR_ALREADY_EXISTS);
    if (::rename(from->c_str(), to->c_str()) != 0) return FailErrno(errno, *to);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    std::optional<std::string> path = posix::PathArgument(lpFileName);
    if (!path) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (::stat(path->c_str(), &st) != 0) {
        FailErrno(errno, *path);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}
