// The walk below a landing's root on Windows.
// Quirks:
// - Paths go to the wide calls in their "\\?\" form, so that no name on the way meets the
//   MAX_PATH limit of the ANSI calls.
// - Wine opens what a symbolic link leads to even when asked for the link
//   (FILE_FLAG_OPEN_REPARSE_POINT) and shows the link only in the attributes of its path, so the
//   path is looked at again once its directory is held.
#include "landing_walk.h"

#include <string_view>

#include "platform/landing.h"

namespace landing_walk {

std::wstring Wide(LPCSTR text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<size_t>(size - 1));
    return wide;
}

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

std::vector<std::wstring> Components(const std::wstring& name) {
    std::vector<std::wstring> parts(1);
    for (wchar_t c : name) {
        if (c == L'\\' || c == L'/') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    for (const std::wstring& part : parts) {
        if (part.empty() || part == L"." || part == L"..") return {};
    }
    return parts;
}

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

FileHandle HoldDirectory(const std::wstring& path, bool followLink) {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE raw = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, flags, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return FileHandle();
    FileHandle held(raw);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(raw, &info)) return FileHandle();
    if (!followLink && IsLink(info.dwFileAttributes)) {
        return FailWith(ERROR_CANT_RESOLVE_FILENAME, FileHandle());
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return FailWith(ERROR_DIRECTORY, FileHandle());
    }
    return held;
}

FileHandle EnterDirectory(const std::wstring& path, bool make) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!make) return FailWith(ERROR_PATH_NOT_FOUND, FileHandle());
        // Made by another run meanwhile is as good.
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return FileHandle();
        }
        attributes = GetFileAttributesW(path.c_str());
    }
    if (IsLink(attributes)) return FailWith(ERROR_CANT_RESOLVE_FILENAME, FileHandle());
    FileHandle held = HoldDirectory(path, false);
    if (held && IsLink(GetFileAttributesW(path.c_str()))) {
        return FailWith(ERROR_CANT_RESOLVE_FILENAME, FileHandle());
    }
    return held;
}

bool WalkTo(LPCSTR root, LPCSTR name, bool make, Walk& walk) {
    if (root == nullptr || name == nullptr) return FailWith(ERROR_INVALID_PARAMETER, false);
    std::vector<std::wstring> parts = Components(Wide(name));
    if (parts.empty() || Landing::IsOwnName(std::wstring_view(parts.back()))) {
        return FailWith(ERROR_INVALID_NAME, false);
    }
    std::wstring directory = ExtendedPath(Wide(root));
    if (directory.empty()) return FailWith(ERROR_PATH_NOT_FOUND, false);
    walk.held.push_back(HoldDirectory(directory, true));
    walk.paths.push_back(directory);
    if (!walk.held.back()) return false;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        directory += L"\\" + parts[i];
        walk.held.push_back(EnterDirectory(directory, make));
        walk.paths.push_back(directory);
        if (!walk.held.back()) return false;
    }
    walk.leaf = std::move(parts.back());
    return true;
}

}  // namespace landing_walk
