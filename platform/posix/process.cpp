// Process services on POSIX.
// Supports: the last-error number (per thread), the process id, the raw command line rebuilt
// the way Windows hands it over, the module path, the user's private temporary directory, the
// error mode.
// Quirks: the command line is rebuilt from argv, so the exact spacing and quoting the caller
// typed are not known; quoting follows the rules CommandLineToArgvW reverses.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == geteuid()) {
        dir = std::string(runtime) + "/kestrin";
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        dir = base + "/kestrin-" + std::to_string(geteuid());
    }
    if (!EnsurePrivateDirectory(dir)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    // A trailing backslash as on Windows; the path rules read it as a separator.
    dir += '\\';
    if (dir.size() + 1 > nBufferLength || lpBuffer == nullptr) {
        return static_cast<DWORD>(dir.size() + 1);
    }
    std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

UINT SetErrorMode(UINT uMode) {
    UINT previous = g_errorMode;
    g_errorMode = uMode;
    return previous;
}
