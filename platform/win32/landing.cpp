// The landed-file mark on Windows. Supports: setting a file's creation time to the present.
// Quirks: NTFS "tunnels" the creation time of a name that was removed or renamed away a
// moment ago to the file that takes the name, so a download renamed over its target can come
// out with the old copy's creation time; FAT keeps creation times in 10 ms steps.
#include "platform/handle_owners.h"
#include "platform/landed_file.h"

BOOL MarkFileLanded(LPCSTR fileName) {
    HANDLE raw = CreateFileA(fileName, FILE_WRITE_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return FALSE;
    const FileHandle file(raw);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return SetFileTime(file.get(), &now, nullptr, nullptr);
}
