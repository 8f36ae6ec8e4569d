// From errno to the Win32 error numbers that GetLastError() reports: the one map of the POSIX
// services, and the one way a failing service sets its error.
#pragma once

#include <string_view>

#include "win32_process.h"
#include "win32_types.h"

namespace posix {

// The Win32 number for a failed POSIX call. For ENOENT, path (the POSIX path that was asked
// for, when given) tells the two Windows cases apart: ERROR_FILE_NOT_FOUND when its directory
// exists, ERROR_PATH_NOT_FOUND when the directory itself is missing.
DWORD Win32ErrorFromErrno(int error, std::string_view path = {});

// Sets the last error and returns failed: how a failing service ends (FALSE, a null or an
// invalid handle, INVALID_FILE_ATTRIBUTES...).
template <class T>
T FailWith(DWORD error, T failed) {
    SetLastError(error);
    return failed;
}

inline BOOL Fail(DWORD error) {
    return FailWith<BOOL>(error, FALSE);
}

// FALSE with the last error taken from errno (see Win32ErrorFromErrno for path).
inline BOOL FailErrno(int error, std::string_view path = {}) {
    return Fail(Win32ErrorFromErrno(error, path));
}

}  // namespace posix
