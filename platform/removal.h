// The removal of a file below a root directory by the landing's rules, on both systems: the
// name given can never leave the root, and no symbolic link (or reparse point) below the root is
// followed on the way, nor removed in the file's stead. One implementation a system:
// platform/posix/removal.cpp and platform/win32/removal.cpp.
#pragma once

#include "platform/win32api.h"

namespace removal {

// Removes the regular file `name` below root (a path relative to root whose components a
// backslash or a slash separates; root itself may be reached through links). On Windows a file
// in use is renamed aside beside it, under a temporary name of the landing's form, and removed
// at once when nothing holds it (else by the leftover clean-up of a later run). FALSE with
// GetLastError(): ERROR_CANT_RESOLVE_FILENAME when a link lies on the way or is at the name,
// ERROR_INVALID_NAME for an empty, "." or ".." component, ERROR_ACCESS_DENIED when something
// else than a regular file is at the name, or what the file system said.
BOOL RemoveFile(LPCSTR root, LPCSTR name);

// Removes the directory `directory` below root, walked as RemoveFile walks, when it is empty;
// FALSE with GetLastError() when it is not, is a link, or cannot be removed.
BOOL RemoveEmptyDirectory(LPCSTR root, LPCSTR directory);

}  // namespace removal
