// What the update engine fetches through: one server file to one local path. The FTP
// connection is the program's one implementation; the engine's tests serve a directory.
#pragma once

#include "platform/win32api.h"

class IRemoteFiles {
  public:
    virtual ~IRemoteFiles() = default;

    // Fetches remotePath (relative to the server's login directory, "/" separated) to
    // localPath, replacing a file there unless failIfExists. The file lands whole or not at
    // all. True on success; never raises.
    virtual bool DownloadFile(const char* remotePath, const char* localPath, bool failIfExists,
                              DWORD attributes, DWORD transferFlags, DWORD_PTR context) = 0;
};
