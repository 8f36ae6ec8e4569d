// The login of the WinInet transport, and the last reply WinInet keeps for a thread: private to
// platform/win32/.
#pragma once

#include "platform/win32api.h"

#include <wininet.h>

#include <string>

#include "platform/cancel_token.h"
#include "platform/ftp_transport.h"

// The last reply the server sent to this thread's WinInet calls (handed to the trace).
std::string LastReply();

struct Dialed {
    HINTERNET handle = nullptr;  // the logged-in connection, the caller's to close
    DWORD error = ERROR_SUCCESS;
    DWORD reply = 0;  // the server's code when it refused the login
};

// Connects and logs in (InternetConnectA) on a thread of its own, so that the caller waits no
// longer than connectMs, looking at cancel (null: none) a slice at a time meanwhile: Wine's
// WinInet waits for each reply of the login as long as it likes whatever the time-outs say.
// ERROR_INTERNET_TIMEOUT when the time ran out, ERROR_INTERNET_OPERATION_CANCELLED when the run
// was cancelled.
Dialed Dial(HINTERNET session, const ftp::Account& account, DWORD connectMs,
            const CancelToken* cancel);
