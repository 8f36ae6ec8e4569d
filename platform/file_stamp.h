// What the file system says of a local file, enough to tell that its content may have changed
// since it was last read: a write changes its size or its modification time, and any change
// (a write, a rename over it, a change of the times by hand) its change time; a file put in its
// place is another file id. And the reading of a whole file, with what was said of it while it
// was read. One implementation a system: platform/posix/file_stamp.cpp, and
// platform/win32/file_stamp.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace files {

struct FileStamp {
    std::uint64_t size = 0;
    // Nanoseconds since 1970-01-01 00:00 UTC, as finely as the file system keeps them.
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    // The file's volume and its number there.
    std::uint64_t volume = 0;
    std::uint64_t id = 0;

    bool operator==(const FileStamp&) const = default;
};

// The stamp of the regular file at path (a Windows path; a backslash separates as a slash
// does), whose last component is not followed when it is a link; nothing when there is no
// such file or it cannot be examined.
std::optional<FileStamp> StampOf(const char* path);

// Reads the regular file at path (its last component not followed when it is a link) from its
// start to its end, handing each piece to take, which may end the reading by returning false.
// The file's stamp once it was read whole, when it was the same before: nothing when it could
// not be opened or read, take ended the reading, or the file changed while it was read.
std::optional<FileStamp> ReadWholeFile(const char* path,
                                       const std::function<bool(const void*, std::size_t)>& take);

// ReadWholeFile of the file name in directory, read only when both belong to the user the
// program runs as, so that nothing another user planted there is ever read: nothing when either
// belongs to another. POSIX: the owner of each must be the effective user. Windows: the owner
// in each one's security descriptor must be the user of the process's token (a file made by the
// same user's elevated process, owned by the Administrators group, is not read either).
std::optional<FileStamp> ReadOwnFile(const char* directory, const char* name,
                                     const std::function<bool(const void*, std::size_t)>& take);

// The program's folder in the user's cache directory (POSIX: ${XDG_CACHE_HOME:-~/.cache}/kestrin,
// private to the user; Windows: %LOCALAPPDATA%\Kestrin), made when missing, ending in a
// backslash; nothing when there is none to be had.
std::optional<std::string> CacheDirectory();

}  // namespace files
