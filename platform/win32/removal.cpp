// Removals on Windows.
// Supports: the walk below the root component by component, each directory held open (without
// FILE_SHARE_DELETE) while the file is removed, so that nothing renames or replaces one on the
// way meanwhile; a directory or a name that is a reparse point (a symbolic link or a junction)
// is refused. A file in use (a running program, a loaded library) cannot be removed but may be
// renamed: it is renamed aside under a temporary name of the landing's form, and removed at once
// when nothing holds it, else by the clean-up of leftovers of a later run.
// Quirks:
// - Wine opens what a symbolic link leads to even when asked for the link, and shows the link
//   only in the attributes of its path: the path is looked at again once its directory is held.
//   Wine shows no symbolic link to a file at all.
#include <atomic>
#include <string>
#include <vector>

#include "platform/handle_owners.h"
#include "platform/landing.h"
#include "platform/removal.h"

namespace {

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::wstring Wide(LPCSTR text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<size_t>(size - 1));
    return wide;
}

// The absolute "\\?\" form of a path; empty when it has none.
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

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The path of name's last component below root, every directory on the way held in held;
// empty, with the last error set, when the way is refused.
std::wstring Walk(LPCSTR root, LPCSTR name, std::vector<FileHandle>& held) {
    std::wstring path = ExtendedPath(Wide(root));
    if (path.empty()) return std::wstring();
    std::vector<std::wstring> parts(1);
    for (const wchar_t c : Wide(name == nullptr ? "" : name)) {
        if (c == L'\\' || c == L'/') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    for (const std::wstring& part : parts) {
        if (part.empty() || part == L"." || part == L"..") {
            FailWith(ERROR_INVALID_NAME);
            return std::wstring();
        }
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        path += L"\\" + parts[i];
        if (i + 1 == parts.size()) break;
        if (IsLink(GetFileAttributesW(path.c_str()))) {
            FailWith(ERROR_CANT_RESOLVE_FILENAME);
            return std::wstring();
        }
        HANDLE raw = CreateFileW(
            path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (raw == INVALID_HANDLE_VALUE) return std::wstring();
        held.emplace_back(raw);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (IsLink(attributes)) {
            FailWith(ERROR_CANT_RESOLVE_FILENAME);
            return std::wstring();
        }
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            FailWith(ERROR_PATH_NOT_FOUND);
            return std::wstring();
        }
    }
    return path;
}

// Renames a file in use aside in its directory and removes it when nothing holds it any more.
BOOL RemoveAside(const std::wstring& path) {
    static std::atomic<unsigned> counter{GetTickCount() ^ (GetCurrentProcessId() << 16)};
    const std::wstring directory = path.substr(0, path.find_last_of(L'\\') + 1);
    constexpr int kNameAttempts = 64;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = Landing::TemporaryName(counter++);
        const std::wstring aside = directory + std::wstring(name.begin(), name.end());
        if (MoveFileExW(path.c_str(), aside.c_str(), 0)) {
            DeleteFileW(aside.c_str());
            return TRUE;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
            return FALSE;
        }
    }
    return FailWith(ERROR_FILE_EXISTS);
}

}  // namespace

namespace removal {

BOOL RemoveFile(LPCSTR root, LPCSTR name) {
    std::vector<FileHandle> held;
    const std::wstring path = Walk(root, name, held);
    if (path.empty()) return FALSE;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    if (IsLink(attributes)) return FailWith(ERROR_CANT_RESOLVE_FILENAME);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FailWith(ERROR_ACCESS_DENIED);
    if (DeleteFileW(path.c_str())) return TRUE;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return FALSE;
    // A read-only file is refused as a file in use is; it is not ours to make writable.
    if (attributes & FILE_ATTRIBUTE_READONLY) return FailWith(error);
    return RemoveAside(path);
}

BOOL RemoveEmptyDirectory(LPCSTR root, LPCSTR directory) {
    std::vector<FileHandle> held;
    const std::wstring path = Walk(root, directory, held);
    if (path.empty()) return FALSE;
    if (IsLink(GetFileAttributesW(path.c_str()))) return FailWith(ERROR_CANT_RESOLVE_FILENAME);
    return RemoveDirectoryW(path.c_str());
}

}  // namespace removal
