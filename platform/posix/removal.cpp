// Removals on POSIX.
// Supports: the walk below the root with openat(O_NOFOLLOW | O_DIRECTORY) from a descriptor of
// the root, and unlinkat in the last directory, so that a link on the way is never followed.
// Quirks:
// - The name is looked at (fstatat without following) just before unlinkat: a file put in its
//   place between the two is removed instead. The product directory is the user's own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/removal.h"
#include "platform/unique_fd.h"
#include "posix_errors.h"
#include "posix_paths.h"

namespace {

using posix::UniqueFd;

// The directory holding the last component of name, entered from root without following any
// link, and that component; no descriptor, with the last error set, when it cannot be.
UniqueFd EnterParent(LPCSTR root, LPCSTR name, std::string& leaf) {
    const std::optional<std::string> rootPath = posix::PathArgument(root);
    if (!rootPath) return UniqueFd();
    std::vector<std::string> parts(1);
    for (const char* c = name == nullptr ? "" : name; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/') {
            parts.emplace_back();
        } else {
            parts.back() += *c;
        }
    }
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == "..") {
            posix::FailWith(ERROR_INVALID_NAME, 0);
            return UniqueFd();
        }
    }
    UniqueFd dir(::open(rootPath->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; dir && i + 1 < parts.size(); ++i) {
        UniqueFd next(
            ::openat(dir.Get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int error = errno;
        struct stat st;
        if (!next && (error == ELOOP ||
                      (::fstatat(dir.Get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISLNK(st.st_mode)))) {
            posix::FailWith(ERROR_CANT_RESOLVE_FILENAME, 0);
            return UniqueFd();
        }
        if (!next) {
            posix::FailErrno(error == ENOTDIR ? ENOENT : error);
            return UniqueFd();
        }
        dir = std::move(next);
    }
    if (!dir) {
        posix::FailErrno(errno);
        return UniqueFd();
    }
    leaf = parts.back();
    return dir;
}

}  // namespace

namespace removal {

BOOL RemoveFile(LPCSTR root, LPCSTR name) {
    std::string leaf;
    const UniqueFd dir = EnterParent(root, name, leaf);
    if (!dir) return FALSE;
    struct stat st;
    if (::fstatat(dir.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return posix::FailErrno(errno);
    }
    if (S_ISLNK(st.st_mode)) return posix::FailWith(ERROR_CANT_RESOLVE_FILENAME, FALSE);
    if (!S_ISREG(st.st_mode)) return posix::FailWith(ERROR_ACCESS_DENIED, FALSE);
    return ::unlinkat(dir.Get(), leaf.c_str(), 0) == 0 || posix::FailErrno(errno);
}

BOOL RemoveEmptyDirectory(LPCSTR root, LPCSTR directory) {
    std::string leaf;
    const UniqueFd dir = EnterParent(root, directory, leaf);
    if (!dir) return FALSE;
    // A link is no directory to unlinkat: it stays.
    return ::unlinkat(dir.Get(), leaf.c_str(), AT_REMOVEDIR) == 0 || posix::FailErrno(errno);
}

}  // namespace removal
