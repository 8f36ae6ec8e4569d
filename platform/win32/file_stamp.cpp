// Stamps and whole reads of local files on Windows: the handle's file information (size, last
// write time, volume serial number and file index) and its basic information (the change time,
// which every write, rename and change of the times moves on). A reparse point is opened as
// itself, never followed; a file being read is shared with readers only, so nobody writes it
// meanwhile.
#include "platform/file_stamp.h"

#include <vector>

#include "platform/file_time.h"
#include "platform/handle_owners.h"
#include "platform/win32api.h"

namespace files {

namespace {

constexpr DWORD kReadPiece = 256 * 1024;

std::int64_t Nanoseconds(std::uint64_t ticks) {
    return (static_cast<std::int64_t>(ticks) - filetime::kEpochOffsetTicks) * 100;
}

std::optional<FileStamp> StampOfHandle(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        return std::nullopt;
    }
    return FileStamp{(static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                     Nanoseconds(filetime::TicksOf(info.ftLastWriteTime)),
                     Nanoseconds(static_cast<std::uint64_t>(basic.ChangeTime.QuadPart)),
                     info.dwVolumeSerialNumber,
                     (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// The file at path opened as asked; null when it cannot be.
FileHandle Open(const char* path, DWORD access, DWORD share, DWORD flags) {
    const HANDLE file = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    return FileHandle(file != INVALID_HANDLE_VALUE ? file : nullptr);
}

}  // namespace

std::optional<FileStamp> StampOf(const char* path) {
    const FileHandle file =
        Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
             FILE_FLAG_OPEN_REPARSE_POINT);
    if (!file) return std::nullopt;
    return StampOfHandle(file.get());
}

std::optional<FileStamp> ReadWholeFile(const char* path,
                                       const std::function<bool(const void*, std::size_t)>& take) {
    const FileHandle file = Open(path, GENERIC_READ, FILE_SHARE_READ,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file) return std::nullopt;
    const std::optional<FileStamp> before = StampOfHandle(file.get());
    if (!before) return std::nullopt;
    std::vector<unsigned char> piece(kReadPiece);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), piece.data(), kReadPiece, &got, nullptr)) return std::nullopt;
        if (got == 0) break;
        if (!take(piece.data(), got)) return std::nullopt;
    }
    if (StampOfHandle(file.get()) != before) return std::nullopt;
    return before;
}

std::optional<std::string> CacheDirectory() {
    char local[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", local, MAX_PATH);
    // Only a full path: a drive and a root, or a network share.
    if (length < 3 || length >= MAX_PATH ||
        !((local[1] == ':' && (local[2] == '\\' || local[2] == '/')) ||
          (local[0] == '\\' && local[1] == '\\'))) {
        return std::nullopt;
    }
    std::string directory(local, length);
    if (directory.back() != '\\') directory += '\\';
    directory += "Kestrin";
    if (!CreateDirectoryA(directory.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return std::nullopt;
    }
    return directory + '\\';
}

}  // namespace files
