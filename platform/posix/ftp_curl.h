// What the libcurl FTP backend (platform/posix/ftp_transport.cpp) leaves to helpers of its own:
// how it names a server and a remote file to libcurl, how it reads libcurl's results, and the
// QUIT it says after a refused login. Private to the backend (and its tests).
#pragma once

#include <curl/curl.h>

#include <optional>
#include <string>

#include "platform/ftp_transport.h"
#include "platform/unique_fd.h"

namespace posix {

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

// The WinInet error number for a libcurl result.
DWORD WinInetError(CURLcode code);

// Says QUIT on a control connection and waits, within receiveMs, for the reply or the end of
// the connection, so that the QUIT is read before the connection goes. A server that no longer
// answers ends the wait at once.
void SayGoodbye(const UniqueFd& control, DWORD receiveMs);

}  // namespace posix
