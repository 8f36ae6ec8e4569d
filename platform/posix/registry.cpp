// The registry subset on a directory tree.
// Supports: HKEY_CURRENT_USER\Software (and keys below it) opened or created any number of
// levels deep, values read as REG_SZ and written as REG_SZ, the INI fallback's
// GetPrivateProfileStringA.
// Quirks: HKEY_CURRENT_USER itself holds only Software; other roots hold nothing. The
// Software directory (the XDG config home) always exists in the registry, so opening it
// creates the directory when a fresh account has none. A key or value name holding "/" or
// being "." or ".." cannot be expressed as a file name and is refused (ERROR_BADKEY).
// Keys are created with mkdir, so concurrent readers and writers lose nothing. A value is
// written to a file of its own beside the value's and renamed over it: a writer killed half-way
// leaves a hidden ".kestrin-value-XXXXXX" file in the key's directory, never a torn value.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "handle_table.h"
#include "posix_errors.h"
#include "posix_paths.h"
#include "platform/unique_fd.h"
#include "win32_process.h"
#include "win32_registry.h"

struct HKEY__ : posix::HandleObject {
    explicit HKEY__(std::string keyDirectory)
        : HandleObject(posix::HandleKind::RegistryKey), directory(std::move(keyDirectory)) {}
    std::string directory;
};

namespace {

std::string ConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
    return posix::HomeDirectory() + "/.config";
}

bool IsPredefined(HKEY key) {
    uintptr_t value = reinterpret_cast<uintptr_t>(key);
    return value >= 0x80000000u && value <= 0x80000006u;
}

// A key missing anywhere on its way is simply not found; the rest as the file services say.
LONG ErrnoToRegistryError(int error) {
    if (error == ENOENT || error == ENOTDIR) return ERROR_FILE_NOT_FOUND;
    return static_cast<LONG>(posix::Win32ErrorFromErrno(error));
}

// The open key behind a handle that is not one of the predefined roots; null when none.
HKEY__* OpenKey(HKEY key) {
    return posix::handles::FindAs<HKEY__>(key, posix::HandleKind::RegistryKey,
                                          ERROR_INVALID_HANDLE);
}

bool ValidName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The entry of directory whose name equals name without regard to case (an exact match
// first), of the wanted kind; nothing when there is none.
std::optional<std::string> FindEntry(const std::string& directory, const std::string& name,
                                     bool wantDirectory) {
    auto kindMatches = [&](const std::string& path) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return false;
        return wantDirectory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
    };
    std::string exact = directory + "/" + name;
    if (kindMatches(exact)) return exact;
    std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
    if (!dir) return std::nullopt;
    while (const dirent* entry = readdir(dir.get())) {
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
            std::string path = directory + "/" + entry->d_name;
            if (kindMatches(path)) return path;
        }
    }
    return std::nullopt;
}

// Splits a subkey path at backslashes; false when a component cannot be a key name.
bool SplitKeyPath(const char* subKey, std::string* first, std::string* rest) {
    std::string path = subKey ? subKey : "";
    size_t sep = path.find('\\');
    *first = path.substr(0, sep);
    *rest = sep == std::string::npos ? std::string() : path.substr(sep + 1);
    return ValidName(*first);
}

// Resolves (and with create, makes) the chain of keys below base. Returns an error number.
LONG Walk(HKEY base, const char* subKey, bool create, std::string* result, bool* created) {
    std::string directory;
    std::string path = subKey ? subKey : "";
    if (IsPredefined(base)) {
        if (base != HKEY_CURRENT_USER) return ERROR_FILE_NOT_FOUND;
        std::string first, rest;
        if (!SplitKeyPath(path.c_str(), &first, &rest)) return ERROR_BADKEY;
        if (strcasecmp(first.c_str(), "software") != 0) return ERROR_FILE_NOT_FOUND;
        directory = ConfigHome();
        struct stat st {};
        if (stat(directory.c_str(), &st) != 0) {
            // mkdir -p with a private mode, as XDG asks of the config home.
            for (size_t i = 1; i <= directory.size(); ++i) {
                if (i == directory.size() || directory[i] == '/') {
                    std::string part = directory.substr(0, i);
                    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                        return ErrnoToRegistryError(errno);
                    }
                }
            }
        } else if (!S_ISDIR(st.st_mode)) {
            return ERROR_FILE_NOT_FOUND;
        }
        path = rest;
    } else {
        const HKEY__* key = OpenKey(base);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        directory = key->directory;
    }
    *created = false;
    while (!path.empty()) {
        std::string name, rest;
        if (!SplitKeyPath(path.c_str(), &name, &rest)) return ERROR_BADKEY;
        std::optional<std::string> found = FindEntry(directory, name, true);
        if (!found && create) {
            std::string target = directory + "/" + name;
            if (mkdir(target.c_str(), 0700) == 0) {
                *created = true;
                found = target;
            } else if (errno == EEXIST) {
                found = FindEntry(directory, name, true);  // made meanwhile by another process
            } else {
                return ErrnoToRegistryError(errno);
            }
        }
        if (!found) return ERROR_FILE_NOT_FOUND;
        directory = *found;
        path = rest;
    }
    if (access(directory.c_str(), R_OK | X_OK) != 0) return ErrnoToRegistryError(errno);
    *result = directory;
    return ERROR_SUCCESS;
}

LONG OpenOrCreate(HKEY base, const char* subKey, bool create, PHKEY out, LPDWORD disposition) {
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    std::string directory;
    bool created = false;
    LONG error = Walk(base, subKey, create, &directory, &created);
    if (error != ERROR_SUCCESS) return error;
    try {
        *out = posix::handles::Add(std::make_unique<HKEY__>(directory));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

// Reads a whole file; false with errno set on failure.
bool ReadWholeFile(const std::string& path, std::string* data) {
    const posix::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return false;
    data->clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(file.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        data->append(buffer, static_cast<size_t>(n));
    }
}

// Replaces the file at path with one holding data: written beside it, private to the user,
// flushed, then renamed over it and the rename flushed with its directory. An error number.
LONG ReplaceValueFile(const std::string& path, const std::string& data) {
    const std::string directory = path.substr(0, path.rfind('/'));
    std::string temporary = directory + "/.kestrin-value-XXXXXX";
    posix::UniqueFd file(mkostemp(temporary.data(), O_CLOEXEC));
    if (!file) return ErrnoToRegistryError(errno);
    int error = 0;
    for (size_t done = 0; done < data.size() && error == 0;) {
        const ssize_t written = write(file.Get(), data.data() + done, data.size() - done);
        if (written >= 0) {
            done += static_cast<size_t>(written);
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    if (error == 0 && (fsync(file.Get()) != 0 || !file.Close())) error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return ErrnoToRegistryError(error);
    }
    const posix::UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) fsync(dir.Get());
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, false, phkResult, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                        const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, true, phkResult, lpdwDisposition);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    const HKEY__* key = OpenKey(hKey);
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    std::string name = lpValueName ? lpValueName : "";
    if (!ValidName(name)) return ERROR_FILE_NOT_FOUND;
    std::optional<std::string> path = FindEntry(key->directory, name, false);
    if (!path) return ERROR_FILE_NOT_FOUND;
    std::string data;
    if (!ReadWholeFile(*path, &data)) {
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    // One trailing line feed (or CR LF) is the editor's, not the value's.
    if (!data.empty() && data.back() == '\n') {
        data.pop_back();
        if (!data.empty() && data.back() == '\r') data.pop_back();
    }
    if (data.size() > 0xFFFFFFF0u) return ERROR_CANTREAD;
    if (lpType) *lpType = REG_SZ;
    DWORD size = static_cast<DWORD>(data.size());
    if (lpData != nullptr) {
        if (lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, data.data(), size);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    const HKEY__* key = OpenKey(hKey);
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    const std::string name = lpValueName ? lpValueName : "";
    if (!ValidName(name) || dwType != REG_SZ || (lpData == nullptr && cbData != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    const char* text = reinterpret_cast<const char*>(lpData);
    const std::string value(text, cbData != 0 ? strnlen(text, cbData) : 0);
    // A value stored before keeps the case of its name.
    const std::string path =
        FindEntry(key->directory, name, false).value_or(key->directory + "/" + name);
    // The line feed is the reader's to drop, so that a value ending in one reads back whole.
    return ReplaceValueFile(path, value + "\n");
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    if (OpenKey(hKey) == nullptr) return ERROR_INVALID_HANDLE;
    posix::handles::Remove(hKey);
    return ERROR_SUCCESS;
}

DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                               LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
    if (lpReturnedString == nullptr || nSize == 0) return 0;
    std::string value = lpDefault ? lpDefault : "";
    std::string file = lpFileName ? lpFileName : "";
    std::string path = file.find_first_of("/\\") == std::string::npos
                           ? ConfigHome() + "/" + file
                           : posix::ToPosixPath(file.c_str()).value_or(std::string());
    std::string data;
    if (lpAppName && lpKeyName && !path.empty() && ReadWholeFile(path, &data)) {
        auto trim = [](std::string s) {
            size_t b = s.find_first_not_of(" \t\r");
            size_t e = s.find_last_not_of(" \t\r");
            return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
        };
        bool inSection = false;
        size_t pos = 0;
        while (pos <= data.size()) {
            size_t end = data.find('\n', pos);
            std::string line =
                trim(data.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
            pos = end == std::string::npos ? data.size() + 1 : end + 1;
            if (!line.empty() && line.front() == '[' && line.back() == ']') {
                inSection =
                    strcasecmp(trim(line.substr(1, line.size() - 2)).c_str(), lpAppName) == 0;
            } else if (inSection) {
                size_t eq = line.find('=');
                if (eq != std::string::npos &&
                    strcasecmp(trim(line.substr(0, eq)).c_str(), lpKeyName) == 0) {
                    value = trim(line.substr(eq + 1));
                    break;
                }
            }
        }
    }
    size_t n = value.size() < nSize - 1 ? value.size() : nSize - 1;
    std::memcpy(lpReturnedString, value.data(), n);
    lpReturnedString[n] = '\0';
    return static_cast<DWORD>(n);
}
