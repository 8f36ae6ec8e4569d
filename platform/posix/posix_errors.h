// From errno to the Win32 error numbers that GetLastError() reports.
#pragma once

#include <string_view>

#include "win32_process.h"
#include "win32_types.h"

namespace posix {

// The Win32 number for a failed POSIX call. For ENOENT, path (the POSIX path that was asked
// for, when given) tells the two Windows cases apart: ERROR_FILE_NOT_FOUND when its directory
// exists, ERROR_PATH_NOT_FOUND when the directory itself is missing.
DWORD Win32ErrorFromErrno(int error, std::string_view path = {});

// Sets the last error and returns FALSE: how a failing BOOL service ends.
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace posix
