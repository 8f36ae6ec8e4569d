// Windows paths on POSIX. Quirk: a POSIX name that holds a backslash cannot be named, since a
// backslash always separates.
#include "posix_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "win32_process.h"

namespace posix {

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::optional<std::string> ToPosixPath(const char* windowsPath) {
    std::string path = windowsPath ? windowsPath : "";
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        if (path[0] != 'C' && path[0] != 'c') return std::nullopt;
        std::string rest = path.substr(2);
        std::string home = HomeDirectory();
        if (rest.empty()) return home;
        if (rest[0] != '/') rest.insert(rest.begin(), '/');
        if (!home.empty() && home.back() == '/') home.pop_back();
        return home + rest;
    }
    return path;
}

std::optional<std::string> PathArgument(const char* windowsPath) {
    if (windowsPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    if (std::strlen(windowsPath) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return std::nullopt;
    }
    std::optional<std::string> path = ToPosixPath(windowsPath);
    if (!path || path->empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    return path;
}

}  // namespace posix
