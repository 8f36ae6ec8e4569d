// What the update engine fetches through: a server file into a local file, or into memory. The
// FTP connection (net/internet.h) fetches; the update dialog wraps it to show the run's state
// before each transfer waits on the server; the engine's tests serve a directory.
#pragma once

#include <memory>
#include <optional>

#include "framework/cstring.h"
#include "net/crypto.h"
#include "net/download.h"
#include "platform/win32api.h"

class IRemoteFiles {
  public:
    // No bound of the caller's own: only the connection's.
    static constexpr ULONGLONG kAnySize = ~0ULL;

    virtual ~IRemoteFiles() = default;

    // Fetches remotePath (relative to the server's login directory, "/" separated) to name
    // below directory, replacing a file there unless failIfExists. The file lands whole or not
    // at all: it is written beside the target under a temporary name and renamed over it once
    // complete and flushed to the disk (the rename itself is durable once Settle returned);
    // after a failure the earlier copy is untouched. A file that lands counts as created now.
    // directory may be reached through symbolic links; name is a relative path whose
    // components a backslash or a slash separates, and from directory on every directory of it
    // is entered without following any (the transfer fails when one lies on the way), and
    // those missing are made. check, when given, sees every piece of the transfer as it arrives
    // and may refuse the file (see net::IReceiveCheck): it then does not land. maxBytes bounds
    // the file below the connection's own bound: one announced larger fails before a byte is
    // written, one not announced as soon as it passes the bound. True on success with the file
    // in place; never raises.
    virtual bool DownloadFile(const char* remotePath, const char* directory, const char* name,
                              bool failIfExists, DWORD attributes, DWORD transferFlags,
                              DWORD_PTR context, net::IReceiveCheck* check = nullptr,
                              ULONGLONG maxBytes = kAnySize) = 0;

    // The bytes of remotePath, fetched into memory with the bounds of DownloadFile (maxBytes
    // among them), and their SHA-256, taken as they arrived, when the transfer was whole;
    // nothing otherwise. Nothing is written to the disk.
    struct Bytes {
        CString bytes;
        net::Sha256Digest sha256;
    };
    virtual std::optional<Bytes> FetchBytes(const char* remotePath, ULONGLONG maxBytes) = 0;

    // Makes the files fetched so far durable where DownloadFile left part of that for later (a
    // run of landings into one directory flushes it once); false when that failed, the files
    // being in place all the same.
    virtual bool Settle() { return true; }

    // A further connection to the server and account of this one, for fetching beside it from
    // one other thread: it logs in at Open (or its first fetch) and tries each login once, so
    // that a server that refuses a further connection is not pressed. Nothing when there is none
    // to be had.
    virtual std::unique_ptr<IRemoteFiles> Further() { return nullptr; }
    // Logs in now when not logged in; false with GetLastError() when the server refused.
    virtual bool Open() { return true; }

    // Marks the fetches that follow, until it is called with false, as the release's own small
    // files (the manifest, its signature, the lists), which must all come from one server
    // within one time: a connection that keeps such a time (the update dialog's, which then
    // asks the next server) holds them to it; others take no notice.
    virtual void ReleaseFiles(bool on) { (void)on; }
};
