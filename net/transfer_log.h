// What the network tells the diagnosis log (framework/diag_log.h): the commands sent and the
// replies received on each control connection (the password masked), each connect's outcome,
// and each try of a transfer with its bytes, its duration and how it ended, in words. Nothing
// here runs while the log is off.
#pragma once

#include <chrono>
#include <string>

#include "platform/ftp_transport.h"
#include "platform/win32api.h"

namespace net {

struct Received;

// Has the transport hand what it sends and receives to the log, when the log is on.
void TraceTransport();

// A line of the transport's trace as the log writes it: the direction, then the text, the
// password of a PASS command masked.
std::string TraceLine(ftp::Traced what, std::string_view text);

// Why a connect or a transfer failed, in words, from its error number (the transport's, the
// receive loop's or the file system's).
std::string ErrorWords(DWORD error);

// Logs how a connect to account's server ended; a refused one with the server's last reply.
void LogConnect(const ftp::Account& account, const ftp::Opened<ftp::Connection>& opened);
// Connects session to account's server and logs how it ended.
ftp::Opened<ftp::Connection> LoggedConnect(ftp::Session& session, const ftp::Account& account);

// One try of a transfer of remotePath, logged when it ends: what it added to received, in how
// long, and whether it landed or why not (the error number the try left behind).
class TryLog {
  public:
    TryLog(const char* remotePath, const Received& received);
    ~TryLog();
    TryLog(const TryLog&) = delete;
    TryLog& operator=(const TryLog&) = delete;
    // Notes whether the try landed its file, and gives that back.
    bool Landed(bool landed) {
        m_landed = landed;
        return landed;
    }

  private:
    std::string m_remotePath;
    const Received& m_received;
    ULONGLONG m_from;
    std::chrono::steady_clock::time_point m_start;
    bool m_landed = false;
};

}  // namespace net
