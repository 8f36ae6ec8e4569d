// Copies aside on Windows.
// Quirks:
// - Windows refuses to replace or remove a running program or a loaded library with
//   ERROR_ACCESS_DENIED (a read-only file says the same), a file open without delete sharing
//   with ERROR_SHARING_VIOLATION; only the rename aside tells which it was.
// - A read-only copy aside is made writable just before it is removed: it is ours, and the name
//   it belonged to has its new copy.
#include "aside.h"

#include <atomic>
#include <string_view>

#include "platform/landing.h"

namespace aside {

bool MayBeInUse(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

std::wstring MoveAside(const std::wstring& directory, const std::wstring& leaf, bool keepName) {
    const std::wstring path = directory + L"\\" + leaf;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::wstring();
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return std::wstring();
    }
    static std::atomic<unsigned> counter{GetTickCount() ^ (GetCurrentProcessId() << 8)};
    constexpr int kNameAttempts = 64;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const unsigned n = counter++;
        const std::string temporary = Landing::TemporaryName(n);
        const std::wstring copy = directory + L"\\" +
                                  (keepName ? Landing::AsideName(n, std::wstring_view(leaf))
                                            : std::wstring(temporary.begin(), temporary.end()));
        if (MoveFileExW(path.c_str(), copy.c_str(), MOVEFILE_WRITE_THROUGH)) return copy;
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return std::wstring();
    }
    SetLastError(ERROR_FILE_EXISTS);
    return std::wstring();
}

bool PutBack(const std::wstring& copy, const std::wstring& path) {
    return MoveFileExW(copy.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool Discard(const std::wstring& copy) {
    if (DeleteFileW(copy.c_str())) return true;
    const DWORD attributes = GetFileAttributesW(copy.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return false;
    }
    return SetFileAttributesW(copy.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) &&
           DeleteFileW(copy.c_str());
}

void Sweep(const std::wstring& directory, const std::wstring& name) {
    const std::wstring_view leaf = Landing::AsideOf(std::wstring_view(name));
    if (leaf.empty()) return;
    const std::wstring copy = directory + L"\\" + name;
    const std::wstring path = directory + L"\\" + std::wstring(leaf);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND) {
        PutBack(copy, path);
    } else {
        Discard(copy);
    }
}

}  // namespace aside
