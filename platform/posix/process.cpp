// Process services on POSIX.
// Supports: the last-error number (per thread), the process id, the raw command line rebuilt
// the way Windows hands it over, the module path, the user's private temporary and cache
// directories, the error mode, and named mutexes between the user's processes (CreateMutexA,
// WaitForSingleObject, ReleaseMutex; CloseHandle is the file services'). Quirks: the command line
// is rebuilt from argv, so the exact spacing and quoting the caller typed are not known; quoting
// follows the rules CommandLineToArgvW reverses. A named mutex is a lock file in the private
// temporary directory held with flock(): processes that see different temporary directories do not
// exclude each other (as Windows sessions do not), a handle excludes every other handle even on the
// same thread (Windows lets the owning thread in again), and a mutex whose owner died is simply
// free (Windows says WAIT_ABANDONED).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "handle_table.h"
#include "platform/file_stamp.h"
#include "posix_errors.h"
#include "platform/unique_fd.h"
#include "posix_paths.h"
#include "win32_process.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;
std::string g_commandLine;
bool g_commandLineSet = false;
UINT g_errorMode = 0;

// One argument as Windows would write it on a command line.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

std::string BuildCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) line += ' ';
        line += QuoteArgument(args[i]);
    }
    return line;
}

// Makes sure dir is a directory of ours, private to us, and not a symbolic link.
bool EnsurePrivateDirectory(const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
    if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) return false;
    return true;
}

// Makes path and the directories above it that are missing, each private to the user.
bool MakePrivateDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// The program's folder in the user's cache directory, private to the user and made when
// missing; nothing when it cannot be had.
std::optional<std::string> OwnCacheDirectory() {
    // A relative XDG_CACHE_HOME is ignored: the cache directory must be an absolute path.
    const char* cacheHome = std::getenv("XDG_CACHE_HOME");
    std::string cache = cacheHome && cacheHome[0] == '/' ? std::string(cacheHome)
                                                         : posix::HomeDirectory() + "/.cache";
    while (cache.size() > 1 && cache.back() == '/') cache.pop_back();
    const std::string own = cache + "/kestrin";
    if (cache.empty() || cache[0] != '/' || !MakePrivateDirectories(cache) ||
        !EnsurePrivateDirectory(own)) {
        return std::nullopt;
    }
    return own;
}

// The user's private temporary directory (see GetTempPathA), made when missing; nothing when it
// cannot be had. The runtime directory, which is the user's alone; else a folder of the user's
// cache directory. Never a name in a shared directory such as /tmp, which another user could
// make first and so deny every run.
std::optional<std::string> PrivateTempDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == geteuid()) {
        const std::string dir = std::string(runtime) + "/kestrin";
        if (!EnsurePrivateDirectory(dir)) return std::nullopt;
        return dir;
    }
    const std::optional<std::string> own = OwnCacheDirectory();
    if (!own || !EnsurePrivateDirectory(*own + "/tmp")) return std::nullopt;
    return *own + "/tmp";
}

struct MutexObject : posix::HandleObject {
    explicit MutexObject(int descriptor)
        : HandleObject(posix::HandleKind::Mutex), lockFile(descriptor) {}
    posix::UniqueFd lockFile;
    bool held = false;
};

MutexObject* FindMutex(HANDLE handle) {
    return posix::handles::FindAs<MutexObject>(handle, posix::HandleKind::Mutex,
                                               ERROR_INVALID_HANDLE);
}

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD error) {
    t_lastError = error;
}

void PosixSetCommandLine(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    g_commandLine = BuildCommandLine(args);
    g_commandLineSet = true;
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

LPSTR GetCommandLineA() {
    if (!g_commandLineSet) {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> args;
        size_t start = 0;
        while (start < raw.size()) {
            size_t end = raw.find('\0', start);
            if (end == std::string::npos) end = raw.size();
            args.push_back(raw.substr(start, end - start));
            start = end + 1;
        }
        g_commandLine = BuildCommandLine(args);
        g_commandLineSet = true;
    }
    return g_commandLine.data();
}

DWORD GetModuleFileNameA(HINSTANCE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr || lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::vector<char> buffer(4096);
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::string path(buffer.data(), static_cast<size_t>(n));
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::optional<std::string> found = PrivateTempDirectory();
    if (!found) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    std::string dir = *found;
    // A trailing backslash as on Windows; the path rules read it as a separator.
    dir += '\\';
    if (dir.size() + 1 > nBufferLength || lpBuffer == nullptr) {
        return static_cast<DWORD>(dir.size() + 1);
    }
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

namespace files {

std::optional<std::string> CacheDirectory() {
    std::optional<std::string> own = OwnCacheDirectory();
    // A trailing backslash as on Windows; the path rules read it as a separator.
    if (own) *own += '\\';
    return own;
}

}  // namespace files

UINT SetErrorMode(UINT uMode) {
    UINT previous = g_errorMode;
    g_errorMode = uMode;
    return previous;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    std::string_view name = lpName != nullptr ? lpName : "";
    for (std::string_view space : {"Local\\", "Global\\"}) {
        if (name.substr(0, space.size()) == space) name.remove_prefix(space.size());
    }
    if (bInitialOwner) return posix::FailWith<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
    if (name.empty() || name.find_first_of("/\\") != std::string_view::npos || name[0] == '.') {
        return posix::FailWith<HANDLE>(ERROR_INVALID_NAME, nullptr);
    }
    const std::optional<std::string> dir = PrivateTempDirectory();
    if (!dir) return posix::FailWith<HANDLE>(ERROR_ACCESS_DENIED, nullptr);
    const std::string path = *dir + "/" + std::string(name) + ".lock";
    posix::UniqueFd lockFile(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lockFile) return posix::FailWith<HANDLE>(posix::Win32ErrorFromErrno(errno), nullptr);
    return posix::handles::Add(std::make_unique<MutexObject>(lockFile.Release()));
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    MutexObject* mutex = FindMutex(hHandle);
    if (mutex == nullptr) return WAIT_FAILED;
    if (mutex->held) return WAIT_OBJECT_0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        const int how = dwMilliseconds == INFINITE ? LOCK_EX : LOCK_EX | LOCK_NB;
        if (flock(mutex->lockFile.Get(), how) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK)
            return posix::FailWith<DWORD>(posix::Win32ErrorFromErrno(errno), WAIT_FAILED);
        if (std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    mutex->held = true;
    return WAIT_OBJECT_0;
}

BOOL ReleaseMutex(HANDLE hMutex) {
    MutexObject* mutex = FindMutex(hMutex);
    if (mutex == nullptr) return FALSE;
    if (!mutex->held) return posix::Fail(ERROR_NOT_OWNER);
    if (flock(mutex->lockFile.Get(), LOCK_UN) != 0) return posix::FailErrno(errno);
    mutex->held = false;
    return TRUE;
}
