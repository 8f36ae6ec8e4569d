// The update server and its account, fixed in the program at build time, and the mirrors of a
// program built with the publisher's key: further servers that hold the same signed release.
#pragma once

#include <string_view>
#include <vector>

#include "framework/cstring.h"
#include "platform/ftp_transport.h"

struct UpdateServer {
    CString host;
    CString user;
    CString password;
    INTERNET_PORT port;  // 0: the FTP default, 21
};

// The compiled-in server. Test and demo builds (KESTRIN_SERVER_FROM_ENV) let the environment
// variables KESTRIN_UPDATE_HOST and KESTRIN_UPDATE_PORT name another one, so that a server on
// a free loopback port can be reached; the release build ignores the environment.
UpdateServer CompiledUpdateServer();

// The servers a run may turn to, in order: the compiled-in one and, with mirrors (a program
// that verifies what it fetches, and so may take it from anywhere), those of
// KESTRIN_UPDATE_MIRRORS, which test and demo builds also take from the environment variable of
// that name.
std::vector<UpdateServer> CompiledUpdateServers(bool withMirrors);

// The mirrors that text names, each "host[:port]", separated by commas (blanks around an entry
// are ignored), with the account of primary. An entry without a host, with a port that is not a
// number from 1 to 65535 written without leading zeros, or with characters no host name has, is
// left out. Configuring refuses a build's list that has such an entry (cmake/mirrors.cmake).
std::vector<UpdateServer> ParseMirrors(std::string_view text, const UpdateServer& primary);

// The most connections a run receives the file list's files over at once: the program's
// KESTRIN_TRANSFER_CONNECTIONS, 1 to kMostTransferConnections, which test and demo builds also
// take from the environment variable of that name (another value there is ignored).
inline constexpr unsigned kMostTransferConnections = 16;
unsigned CompiledTransferConnections();
