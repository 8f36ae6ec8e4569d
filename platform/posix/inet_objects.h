// What an HINTERNET of the POSIX WinInet layer points to, shared by the files that implement
// it: inet.cpp (sessions, connections, options) and ftp_download.cpp (downloads).
#pragma once

#include <curl/curl.h>

#include <functional>
#include <memory>
#include <string>

#include "handle_table.h"
#include "unique_fd.h"
#include "win32_types.h"

struct FtpDownload__;  // a download of platform/ftp_download.h

namespace posix {

constexpr DWORD kDefaultTimeoutMs = 60000;

struct Timeouts {
    DWORD connectMs = kDefaultTimeoutMs;
    DWORD receiveMs = kDefaultTimeoutMs;
};

// What an HINTERNET points to: an object of the POSIX handle table.
struct InternetObject : HandleObject {
    explicit InternetObject(HandleKind kind) : HandleObject(kind) {}
    Timeouts timeouts;
};

struct Session : InternetObject {
    Session() : InternetObject(HandleKind::InternetSession) {}
    bool direct = false;  // no proxy, whatever the environment says
};

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

struct CurlMultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

struct Connection : InternetObject {
    Connection() : InternetObject(HandleKind::InternetConnection) {}
    // A download still open is cut off from the connection, which it can no longer read.
    ~Connection() override;

    Session* session = nullptr;
    std::string serverUrl;
    // While InternetConnectA logs in, a socket libcurl closes is kept here instead: the last one
    // is the control connection, still open for a QUIT should the login be refused.
    bool holdClosedSocket = false;
    UniqueFd closedSocket;
    // Every request of the connection runs through this one multi handle, in whose connection
    // cache the control connection stays between requests; its clean-up sends QUIT. Declared
    // first, so destroyed after the easy handle, which is taken out of it first.
    std::unique_ptr<CURLM, CurlMultiCleanup> multi;
    std::unique_ptr<CURL, CurlCleanup> curl;
    FtpDownload__* download = nullptr;  // the download open on the connection, if any
};

enum class Driven { Done, Ready, TimedOut };

// Runs the request of the connection's easy handle, already in its multi handle, until it ends
// (Done, its result in *result), ready() holds (Ready), or timeoutMs have passed (TimedOut).
Driven Drive(Connection& connection, CURLcode* result, DWORD timeoutMs,
             const std::function<bool()>& ready);

// Runs the connection's easy handle, as set up, through its multi handle until the request
// ends (within the time-outs set on the handle) and takes it out again.
CURLcode Perform(Connection& connection);

// The WinInet error number for a libcurl result.
DWORD WinInetError(CURLcode code);

}  // namespace posix
