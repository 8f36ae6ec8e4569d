// What the libcurl FTP backend (platform/posix/ftp_transport.cpp) leaves to helpers of its own:
// how it sets up a handle, how it names a server and a remote file to libcurl, how it reads
// libcurl's results, and the QUIT it says after a refused login. Private to the backend (and its
// tests).
#pragma once

#include <curl/curl.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/cancel_token.h"
#include "platform/ftp_transport.h"
#include "platform/unique_fd.h"

namespace posix {

// Owners of libcurl's handles and lists.
struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct CurlMultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// libcurl initialised once for the process; false when it could not be.
bool CurlReady();

// Sets up an easy handle for a connection to serverUrl with the account (logging in when
// performed: NOBODY), the session's time-outs and proxy choice, active mode by PORT unless the
// account asks for passive; false when libcurl refused an option.
bool ConfigureCurl(CURL* curl, bool direct, const ftp::Timeouts& timeouts,
                   const std::string& serverUrl, const ftp::Account& account);

// The commands sent before a RETR, in order, as libcurl's quote commands: SIZE when asked
// (sizeAsked), MDTM when the request asks the time, and at an offset a REST of our own, last
// (libcurl's own REST would come with a limit on the data at the size: a server that ignored
// the REST must show by sending more than the rest). "*": a server without SIZE or MDTM still
// serves the file; only a refused REST fails the transfer.
std::vector<std::string> AskedBeforeRetr(const ftp::FileRequest& request, bool sizeAsked);

// A debug callback (CURLOPT_DEBUGFUNCTION, its data a std::string or null) that keeps the verb
// of each command as libcurl sends it, and hands libcurl's account to TraceCurl while a trace
// sink is set.
int KeepVerbSent(CURL* curl, curl_infotype type, char* data, size_t size, void* verb);

// The commands as a list for libcurl (the caller owns it: SlistFree); null when empty or when
// memory ran out.
curl_slist* CommandList(const std::vector<std::string>& commands);

// "ftp://host:port/" for a host name or address (an IPv6 address gets its brackets); port 0
// is 21. Nothing when the host is empty or not a host name.
std::optional<std::string> FtpServerUrl(const char* host, INTERNET_PORT port);

// The URL of a remote path, relative to the login directory, appended to a server URL. Each
// "/"-separated segment is escaped, so the server receives the path byte for byte: a name
// such as "a;type=a", "x#y" or "%2e%2e" is data, never URL syntax. Nothing when the path is
// empty or ends in "/" (a directory, which would be listed rather than fetched).
std::optional<std::string> FtpFileUrl(const std::string& serverUrl, const char* remotePath);

// libcurl's account of a connection (CURLOPT_DEBUGFUNCTION), handed to the trace sink of
// ftp_transport.h: its notes, the commands sent and the replies received (never the data).
int TraceCurl(CURL* curl, curl_infotype type, char* text, size_t size, void* context);

// Sends the commands (libcurl's quote list, the caller's) on their own over the connection the
// easy handle holds in multi, on a request that fetches nothing, within timeoutMs (less what it
// took, when it returns) and as long as cancel lets it: the request's result, and in
// *reconnected whether libcurl had to log in anew for it (the new connection has its transfer
// type yet to set). The handle is then set to fetch again, with no quote list.
CURLcode QuoteAlone(CURLM* multi, CURL* curl, const std::string& serverUrl, curl_slist* commands,
                    DWORD& timeoutMs, const CancelToken* cancel, bool* reconnected);
// The WinInet error number for a libcurl result.
DWORD WinInetError(CURLcode code);

// Says QUIT on a control connection and waits, within receiveMs, for the reply or the end of
// the connection, so that the QUIT is read before the connection goes. A server that no longer
// answers ends the wait at once.
void SayGoodbye(const UniqueFd& control, DWORD receiveMs);

// How a drive of a multi handle ended: its request ended (Done, its result in *result), ready()
// held (Ready), or the time ran out (TimedOut).
enum class Driven { Done, Ready, TimedOut };

// Runs the request in multi until it ends, ready() holds, or timeoutMs have passed, looking at
// cancel (null: none) at least every CancelToken::kPollMs: a cancelled run ends the request as
// libcurl ends one whose progress callback says stop (CURLE_ABORTED_BY_CALLBACK).
Driven Drive(CURLM* multi, CURLcode* result, DWORD timeoutMs, const CancelToken* cancel,
             const std::function<bool()>& ready);

}  // namespace posix
