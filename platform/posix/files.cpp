// Local file services on POSIX: the file search, directory creation, reading a file through a
// handle, and file times.
// Supports: FindFirstFileA/FindNextFileA/FindClose with * and ? in the last component (plain
// wildcards: * any run of characters, dots included, ? exactly one); CreateDirectoryA;
// CreateFileA for reading or writing (OPEN_EXISTING, CREATE_NEW, CREATE_ALWAYS), ReadFile,
// GetFileSize, CloseHandle (of files, and of the process services' mutexes);
// FileTimeToLocalFileTime, FileTimeToSystemTime, GetSystemTimeAsFileTime.
// Quirks:
// - Names match case-sensitively, as the POSIX file system stores them; no 8.3 short names,
//   and a trailing dot or blank of a name is not ignored as Windows ignores it.
// - ftCreationTime is the birth time where the file system records one (statx). Where it
//   records none, the earlier of the last-write and status-change times stands for it: the
//   status-change time is never earlier than the birth and cannot be set back by tools that
//   copy or unpack files, and taking the earlier of the two errs towards an older file, which
//   is fetched again rather than kept when it may be outdated.
// - A symbolic link is found as what it leads to; one that leads nowhere is not found at all, as
//   under Wine (Windows would show the link itself), so that nothing takes it for a file.
// - Share modes are accepted and not enforced: POSIX has no mandatory locking of this kind.
// - A path of MAX_PATH characters or more fails with ERROR_FILENAME_EXCED_RANGE, as the ANSI
//   functions do on Windows, so that both systems accept the same paths.
// - FileTimeToLocalFileTime applies the present offset from UTC (daylight saving included)
//   whatever the date, as Windows does.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "handle_table.h"
#include "platform/file_time.h"
#include "posix_errors.h"
#include "posix_paths.h"
#include "win32_files.h"
#include "platform/unique_fd.h"
#include "win32_process.h"

namespace {

using posix::Fail;
using posix::FailWith;
using posix::HandleKind;
using posix::HandleObject;

struct FileObject : HandleObject {
    explicit FileObject(int descriptor) : HandleObject(HandleKind::File), fd(descriptor) {}
    posix::UniqueFd fd;
};

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

struct SearchObject : HandleObject {
    SearchObject() : HandleObject(HandleKind::Search) {}
    std::unique_ptr<DIR, DirCloser> dir;  // null for a search without wildcards (one match)
    std::string pattern;
};

template <class T>
T* Unwrap(HANDLE handle, HandleKind kind) {
    return posix::handles::FindAs<T>(handle, kind, ERROR_INVALID_HANDLE);
}

HANDLE FailHandle(DWORD error) {
    return FailWith(error, INVALID_HANDLE_VALUE);
}

// A POSIX time as a file time; moments before 1601 become 1601.
FILETIME FileTimeFromPosix(long long seconds, long long nanoseconds) {
    const long long sinceWindowsEpoch = seconds + filetime::kEpochOffsetSeconds;
    if (sinceWindowsEpoch < 0) return filetime::FromTicks(0);
    return filetime::FromTicks(static_cast<unsigned long long>(sinceWindowsEpoch) *
                                   filetime::kTicksPerSecond +
                               static_cast<unsigned long long>(nanoseconds) / 100);
}

bool Earlier(const statx_timestamp& a, const statx_timestamp& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Fills what the search reports of one file found in the directory dirFd (or by its path
// when dirFd is AT_FDCWD). False when the file cannot be examined.
bool DescribeFile(int dirFd, const char* path, std::string_view name, WIN32_FIND_DATAA* data) {
    if (name.size() >= sizeof(data->cFileName)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
    struct statx st {};
    if (statx(dirFd, path, 0, mask, &st) != 0) return false;
    *data = WIN32_FIND_DATAA{};
    const bool directory = S_ISDIR(st.stx_mode);
    DWORD attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if ((st.stx_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    data->dwFileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;

    statx_timestamp birth = st.stx_btime;
    if ((st.stx_mask & STATX_BTIME) == 0) {
        birth = Earlier(st.stx_mtime, st.stx_ctime) ? st.stx_mtime : st.stx_ctime;
    }
    data->ftCreationTime = FileTimeFromPosix(birth.tv_sec, birth.tv_nsec);
    data->ftLastAccessTime = FileTimeFromPosix(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
    data->ftLastWriteTime = FileTimeFromPosix(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
    if (!directory) {
        data->nFileSizeHigh = static_cast<DWORD>(st.stx_size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(st.stx_size & 0xffffffffu);
    }
    std::memcpy(data->cFileName, name.data(), name.size());
    data->cFileName[name.size()] = '\0';
    return true;
}

bool HasWildcard(std::string_view text) {
    for (char c : text) {
        if (c == '*' || c == '?') return true;
    }
    return false;
}

// * matches any run of characters, ? exactly one; everything else matches itself.
bool WildcardMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0;
    size_t star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// The next entry of a wildcard search that matches and can be examined.
bool NextMatch(SearchObject& search, WIN32_FIND_DATAA* data) {
    DIR* dir = search.dir.get();
    while (const dirent* entry = readdir(dir)) {
        if (!WildcardMatch(search.pattern, entry->d_name)) continue;
        if (DescribeFile(dirfd(dir), entry->d_name, entry->d_name, data)) return true;
    }
    return false;
}

// The directory part of a POSIX path, separator included ("." for a bare name).
std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (lpFindFileData == nullptr) return FailHandle(ERROR_INVALID_PARAMETER);
    std::optional<std::string> path = posix::PathArgument(lpFileName);
    if (!path) return INVALID_HANDLE_VALUE;
    // A path that ends in a separator names no file to look for.
    if (path->back() == '/') return FailHandle(ERROR_FILE_NOT_FOUND);

    const size_t slash = path->rfind('/');
    const std::string_view whole(*path);
    const std::string_view name = slash == std::string::npos ? whole : whole.substr(slash + 1);
    if (slash != std::string::npos && HasWildcard(whole.substr(0, slash))) {
        return FailHandle(ERROR_INVALID_NAME);
    }

    auto search = std::make_unique<SearchObject>();
    if (!HasWildcard(name)) {
        if (!DescribeFile(AT_FDCWD, path->c_str(), name, lpFindFileData)) {
            return FailHandle(posix::Win32ErrorFromErrno(errno, *path));
        }
        return posix::handles::Add(std::move(search));
    }

    search->dir.reset(opendir(DirectoryOf(*path).c_str()));
    if (!search->dir) {
        const int error = errno;
        return FailHandle(error == ENOENT ? ERROR_PATH_NOT_FOUND
                                          : posix::Win32ErrorFromErrno(error));
    }
    search->pattern = std::string(name);
    if (!NextMatch(*search, lpFindFileData)) return FailHandle(ERROR_FILE_NOT_FOUND);
    return posix::handles::Add(std::move(search));
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    auto* search = Unwrap<SearchObject>(hFindFile, HandleKind::Search);
    if (search == nullptr) return FALSE;
    if (lpFindFileData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!search->dir || !NextMatch(*search, lpFindFileData)) return Fail(ERROR_NO_MORE_FILES);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (Unwrap<SearchObject>(hFindFile, HandleKind::Search) == nullptr) return FALSE;
    posix::handles::Remove(hFindFile);
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    std::optional<std::string> path = posix::PathArgument(lpPathName);
    if (!path) return FALSE;
    if (mkdir(path->c_str(), 0777) != 0) {
        const int error = errno;
        return Fail(error == ENOENT ? ERROR_PATH_NOT_FOUND : posix::Win32ErrorFromErrno(error));
    }
    return TRUE;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
    int flags = O_CLOEXEC | O_NOCTTY;
    const bool read = (dwDesiredAccess & GENERIC_READ) != 0;
    const bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
    if (read && write) {
        flags |= O_RDWR;
    } else if (read) {
        flags |= O_RDONLY;
    } else if (write) {
        flags |= O_WRONLY;
    } else {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    switch (dwCreationDisposition) {
        case OPEN_EXISTING:
            break;
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        default:
            return FailHandle(ERROR_INVALID_PARAMETER);
    }
    std::optional<std::string> path = posix::PathArgument(lpFileName);
    if (!path) return INVALID_HANDLE_VALUE;

    int fd = open(path->c_str(), flags, 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST) return FailHandle(ERROR_FILE_EXISTS);
        return FailHandle(posix::Win32ErrorFromErrno(error, *path));
    }
    auto file = std::make_unique<FileObject>(fd);
    // Windows opens no directory as a file.
    struct stat st {};
    if (fstat(fd, &st) != 0) return FailHandle(posix::Win32ErrorFromErrno(errno));
    if (S_ISDIR(st.st_mode)) return FailHandle(ERROR_ACCESS_DENIED);
    return posix::handles::Add(std::move(file));
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, void* lpOverlapped) {
    auto* file = Unwrap<FileObject>(hFile, HandleKind::File);
    if (file == nullptr) return FALSE;
    if (lpNumberOfBytesRead == nullptr || lpOverlapped != nullptr ||
        (lpBuffer == nullptr && nNumberOfBytesToRead != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *lpNumberOfBytesRead = 0;
    ssize_t got;
    do {
        got = read(file->fd.Get(), lpBuffer, nNumberOfBytesToRead);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        const int error = errno;
        return Fail(error == EIO ? ERROR_READ_FAULT : posix::Win32ErrorFromErrno(error));
    }
    *lpNumberOfBytesRead = static_cast<DWORD>(got);
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto* file = Unwrap<FileObject>(hFile, HandleKind::File);
    if (file == nullptr) return INVALID_FILE_SIZE;
    struct stat st {};
    if (fstat(file->fd.Get(), &st) != 0) {
        return FailWith(posix::Win32ErrorFromErrno(errno), INVALID_FILE_SIZE);
    }
    const auto size = static_cast<unsigned long long>(st.st_size);
    if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size & 0xffffffffu);
}

// Files and the process services' mutexes alike.
BOOL CloseHandle(HANDLE hObject) {
    const HandleObject* object = posix::handles::Find(hObject);
    if (object == nullptr ||
        (object->Kind() != HandleKind::File && object->Kind() != HandleKind::Mutex)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    posix::handles::Remove(hObject);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    if (lpFileTime == nullptr || lpLocalFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const long long shift = static_cast<long long>(local.tm_gmtoff) * filetime::kTicksPerSecond;
    const unsigned long long ticks = filetime::TicksOf(*lpFileTime);
    if (ticks > static_cast<unsigned long long>(INT64_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    const long long shifted = static_cast<long long>(ticks) + shift;
    if (shifted < 0) return Fail(ERROR_INVALID_PARAMETER);
    *lpLocalFileTime = filetime::FromTicks(static_cast<unsigned long long>(shifted));
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (lpFileTime == nullptr || lpSystemTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const unsigned long long ticks = filetime::TicksOf(*lpFileTime);
    if (ticks > static_cast<unsigned long long>(INT64_MAX)) return Fail(ERROR_INVALID_PARAMETER);

    const long long totalSeconds = static_cast<long long>(ticks / filetime::kTicksPerSecond);
    const long long days = totalSeconds / 86400;
    const long long secondsOfDay = totalSeconds % 86400;

    // The civil date of a day count (days since 0000-03-01 in the proleptic Gregorian
    // calendar, so that the leap day ends each 400-year era's years).
    constexpr long long kDaysFrom0000_03_01To1601_01_01 = 584694;
    const long long z = days + kDaysFrom0000_03_01To1601_01_01;
    const long long era = z / 146097;
    const long long dayOfEra = z - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    if (year > 30827) return Fail(ERROR_INVALID_PARAMETER);

    lpSystemTime->wYear = static_cast<WORD>(year);
    lpSystemTime->wMonth = static_cast<WORD>(month);
    lpSystemTime->wDay = static_cast<WORD>(day);
    // 1601-01-01 was a Monday; Sunday is 0.
    lpSystemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
    lpSystemTime->wHour = static_cast<WORD>(secondsOfDay / 3600);
    lpSystemTime->wMinute = static_cast<WORD>(secondsOfDay / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(secondsOfDay % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(ticks % filetime::kTicksPerSecond / 10000);
    return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    *lpSystemTimeAsFileTime = FileTimeFromPosix(now.tv_sec, now.tv_nsec);
}
