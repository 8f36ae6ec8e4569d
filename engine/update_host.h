// What the two engine operations need from the update dialog that runs them: its status line,
// its progress bar, its connection to the update server, its temporary directory, the
// application's settings and install directory, a message box, and the run's view of the
// release on the server. CUpdateDialog implements it; tests use a fake.
#pragma once

#include "framework/cstring.h"

class IRemoteFiles;
class CProgressCtrl;

namespace engine {
class ServerRelease;
}  // namespace engine

class IUpdateHost {
  public:
    virtual ~IUpdateHost() = default;
    virtual void SetStatus(CString status) = 0;
    // The connection held, or null.
    virtual IRemoteFiles* Connection() = 0;
    // The temporary directory as read at construction (may be empty).
    virtual const char* TempPath() const = 0;
    virtual CProgressCtrl& Progress() = 0;
    // An information box (style 64) captioned with the application name; waits until closed.
    virtual void ShowMessage(const CString& text) = 0;
    virtual CString ReadSetting(const char* section, const char* entry,
                                const char* defaultValue) = 0;
    // Stores a setting; false when it could not be stored.
    virtual bool WriteSetting(const char* section, const char* entry, const CString& value) = 0;
    // The install directory, ending in a backslash.
    virtual CString InstallDirectory() const = 0;
    // The release on the server as this run sees it (engine/server_release.h); each new
    // connection starts a new run.
    virtual engine::ServerRelease& Release() = 0;
};

namespace engine {

// The version check; see engine/version_check.cpp.
void CheckVersion(IUpdateHost& host, bool interactive);
// The file-list synchronisation; see engine/file_list.cpp.
void UpdateFiles(IUpdateHost& host);

}  // namespace engine
