// The walk of a landing on Windows, shared by landings, the sweep and removals: a name below a
// root is entered directory by directory, each held open (without FILE_SHARE_DELETE) so that
// nothing can rename or replace it meanwhile, none a reparse point (a symbolic link or a
// junction). Private to platform/win32.
#pragma once

#include <string>
#include <vector>

#include "platform/handle_owners.h"
#include "platform/win32api.h"

namespace landing_walk {

template <class T>
T FailWith(DWORD error, T failed) {
    SetLastError(error);
    return failed;
}

// text in the ANSI code page, widened.
std::wstring Wide(LPCSTR text);

// The absolute "\\?\" form of a path; empty with the last error set when it has none.
std::wstring ExtendedPath(const std::wstring& path);

// The components of name, split at backslashes and slashes; none when one is empty, "." or
// "..": no such name is walked at all.
std::vector<std::wstring> Components(const std::wstring& name);

bool IsLink(DWORD attributes);

// Opens the directory at path for as long as the caller needs it to stay where it is; never a
// reparse point unless followLink (the root itself may be reached through links).
FileHandle HoldDirectory(const std::wstring& path, bool followLink);

// Enters the directory at path below one already held, making it when it is missing and make
// says so; never through a reparse point.
FileHandle EnterDirectory(const std::wstring& path, bool make = true);

// A name walked below its root: every directory from the root down, held, and the last
// component.
struct Walk {
    std::vector<FileHandle> held;
    std::vector<std::wstring> paths;  // of the held directories, the root's first
    std::wstring leaf;

    const std::wstring& Directory() const { return paths.back(); }
    std::wstring Target() const { return paths.back() + L"\\" + leaf; }
};

// Walks to the directory of name below root, making the directories that are missing when make
// says so. FALSE with the last error: ERROR_INVALID_PARAMETER (no root or name),
// ERROR_INVALID_NAME (an empty, "." or ".." component, or a last one of the landing's own form),
// ERROR_PATH_NOT_FOUND (a root without a full path, or a directory missing where nothing is
// made), ERROR_CANT_RESOLVE_FILENAME (a link on the way), or what the file system said.
bool WalkTo(LPCSTR root, LPCSTR name, bool make, Walk& walk);

}  // namespace landing_walk
