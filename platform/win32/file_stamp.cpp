// Stamps and whole reads of local files on Windows: the handle's file information (size, last
// write time, volume serial number and file index) and its basic information (the change time,
// which every write, rename and change of the times moves on). A reparse point is opened as
// itself, never followed; a file being read is shared with readers only, so nobody writes it
// meanwhile. Whose a file is, is the owner in its security descriptor: all that Windows says of
// it (under Wine, the user for a file of the Unix user that runs it, another for any other).
#include "platform/file_stamp.h"

#include <memory>
#include <string>
#include <vector>

#include "platform/file_time.h"
#include "platform/handle_owners.h"
#include "platform/win32api.h"

// After <windows.h>, which it needs.
#include <aclapi.h>

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

namespace {

// Reads an opened file whole (see ReadWholeFile).
std::optional<FileStamp> ReadOpened(const FileHandle& file,
                                    const std::function<bool(const void*, std::size_t)>& take) {
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

using LocalMemory = std::unique_ptr<void, handles::Closer<&LocalFree>>;

// The user of the process's token, as its SID; empty when it cannot be had.
std::vector<unsigned char> ProcessUser() {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
    const FileHandle token(opened);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) {
        return {};
    }
    return user;
}

// Whether the owner of the object the handle opened is the user.
bool Own(const FileHandle& object, const std::vector<unsigned char>& user) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!object || user.empty() ||
        GetSecurityInfo(object.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const LocalMemory owned(descriptor);
    const auto* token = reinterpret_cast<const TOKEN_USER*>(user.data());
    return owner != nullptr && EqualSid(owner, token->User.Sid);
}

}  // namespace

std::optional<FileStamp> ReadWholeFile(const char* path,
                                       const std::function<bool(const void*, std::size_t)>& take) {
    return ReadOpened(Open(path, GENERIC_READ, FILE_SHARE_READ,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN),
                      take);
}

std::optional<FileStamp> ReadOwnFile(const char* directory, const char* name,
                                     const std::function<bool(const void*, std::size_t)>& take) {
    const std::vector<unsigned char> user = ProcessUser();
    // The directory is held open, and so cannot be renamed or removed, while its file is read.
    const FileHandle folder = Open(directory, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (!Own(folder, user)) return std::nullopt;
    std::string path = directory;
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    const FileHandle file =
        Open((path + name).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!Own(file, user)) return std::nullopt;
    return ReadOpened(file, take);
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
