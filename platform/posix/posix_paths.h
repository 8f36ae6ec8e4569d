// How a Windows path names a POSIX file. A backslash is a directory separator like a slash.
// A leading "C:" (either case) is the user's home directory ($HOME, else the password
// database's entry). Any other drive letter names no directory here: the conversion fails
// and the caller reports ERROR_PATH_NOT_FOUND. A path without a drive is used as it stands,
// relative to the working directory when it does not start with a separator.
#pragma once

#include <optional>
#include <string>

namespace posix {

// The POSIX path for a Windows path, or nothing when it names no place (another drive).
std::optional<std::string> ToPosixPath(const char* windowsPath);

// The POSIX path of a Windows path handed to a file service, or nothing with the last error
// set: ERROR_INVALID_PARAMETER for none, ERROR_FILENAME_EXCED_RANGE for MAX_PATH characters or
// more, ERROR_PATH_NOT_FOUND for an empty path or another drive.
std::optional<std::string> PathArgument(const char* windowsPath);

// The user's home directory, never empty ("/" at worst).
std::string HomeDirectory();

}  // namespace posix
