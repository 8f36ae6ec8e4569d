// The update server and its account, fixed in the program at build time.
#pragma once

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
