// What the two engine operations are handed for a run: built once by the application, held by
// the update dialog, which gives it the connection of each run. The engine reaches nothing
// else: no dialog, no application object.
#pragma once

#include "engine/server_release.h"
#include "framework/cstring.h"
#include "kestrin_config.h"
#include "platform/cancel_token.h"

class IRemoteFiles;
class ISettings;

namespace engine {

// What the engine shows while it runs: the status line, the progress bar and message boxes.
class IRunView {
  public:
    virtual ~IRunView() = default;
    virtual void SetStatus(CString status) = 0;
    // The progress bar's position, 0 to 100.
    virtual void SetProgress(int position) = 0;
    // An information box (style 64) captioned with the application name; waits until closed.
    virtual void ShowMessage(const CString& text) = 0;
    // Shows what was set so far, before the run waits on something else (the front end may
    // hold back a change that came within a frame of the last one).
    virtual void Flush() {}
};

// The folder of the install directory that the listed files land in (the build's
// KESTRIN_PRODUCT_SUBDIRECTORY).
inline constexpr char kProductSubdirectory[] = KESTRIN_PRODUCT_SUBDIRECTORY "\\";

struct RunContext {
    // Where the listed files land: the install directory followed by kProductSubdirectory.
    CString productDirectory;
    // The temporary directory as read when the dialog was made, ending in a separator (empty
    // when it could not be read).
    CString tempDirectory;
    // The program's folder in the user's cache directory, ending in a separator; empty when
    // there is none (a signed run then hashes every local copy it looks at).
    CString cacheDirectory;
    // The connection this run fetches through; null while none is held.
    IRemoteFiles* transport = nullptr;
    // How many connections the file list's files may be received over at once: 1, the run's
    // own only, or up to that many with further ones (engine/transfers.h).
    unsigned transferConnections = 1;
    ISettings* settings = nullptr;
    IRunView* view = nullptr;
    // The release on the server as this run sees it; each new connection starts a new run.
    ServerRelease release;
    // The user's request to stop the run (null: none comes); the engine looks at it between
    // entries and while it waits, and the transport while it waits on the server.
    const CancelToken* cancel = nullptr;
};

// Whether the run is to stop now; beats the token's pulse on the way (see CancelToken).
inline bool Stopped(const RunContext& run) {
    return !Continues(run.cancel);
}

// The version check; see engine/version_check.cpp.
void CheckVersion(RunContext& run, bool interactive);
// The file-list synchronisation; see engine/file_list.cpp.
void UpdateFiles(RunContext& run);

}  // namespace engine
