// The FTP session, the connection and the exception they raise, over the platform's FTP
// transport (platform/ftp_transport.h: WinInet on Windows, libcurl elsewhere).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "framework/cstring.h"
#include "framework/exceptions.h"
#include "net/remote_files.h"
#include "platform/ftp_transport.h"
#include "platform/win32api.h"

// The session's access types and options, by the numbers WinInet gives them.
#ifndef INTERNET_OPEN_TYPE_PRECONFIG
#define INTERNET_OPEN_TYPE_PRECONFIG 0
#define INTERNET_OPEN_TYPE_DIRECT 1
#define INTERNET_INVALID_PORT_NUMBER 0
#define INTERNET_OPTION_CONNECT_TIMEOUT 2
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6
#endif

class CInternetSession;
class Landing;

namespace net {
// The wait before a connect is tried again the retry-th time (1: the second try), fraction
// being a random number from [0, 1]: baseMs doubled for each retry before, times 1 to 2 by
// fraction, and never more than the 20 s all the tries of a connect may take.
DWORD RetryWaitMs(unsigned retry, double fraction, DWORD baseMs);
}  // namespace net

// Raised when a session cannot be opened or a connection cannot be made.
class CInternetException : public CException {
  public:
    CInternetException(DWORD errorCode, DWORD context)
        : m_errorCode(errorCode), m_context(context) {}
    CString GetErrorMessage() const override;
    DWORD m_errorCode;  // the platform's last-error number at the failure
    DWORD m_context;
};

class CInternetConnection {
  public:
    CInternetConnection(CInternetSession* session, const char* server, INTERNET_PORT port,
                        DWORD context);
    virtual ~CInternetConnection();
    CInternetConnection(const CInternetConnection&) = delete;
    CInternetConnection& operator=(const CInternetConnection&) = delete;
    // Closes the handle when one is held; calling it again does nothing.
    virtual void Close();

    ftp::Connection m_handle;  // null once closed
    DWORD m_context;
    CInternetSession* m_pSession;  // not owned
    CString m_strServer;
    INTERNET_PORT m_nPort;
};

class CFtpConnection : public CInternetConnection, public IRemoteFiles {
  public:
    using CInternetConnection::CInternetConnection;
    ~CFtpConnection() override;
    void Close() override;

    // Fetches remotePath (relative to the login directory, "/" separated) to name below
    // directory, as IRemoteFiles says, through the receive loop of net/download.h with the
    // bounds of this connection: its floor-rate window no longer than its receive time-out. The
    // target (directory and name joined) must fit in MAX_PATH - 1 characters. Never raises.
    // context 1 means the connection's own. After a transfer that failed otherwise than by the
    // server's refusal of the file, the control connection may not go on (a transfer cut off,
    // stalled, dropped, or given up): the next fetch logs in again first, with the account of
    // the first login, and fails as that login does when it cannot. A file is tried until three
    // of its tries moved it nowhere (a try that moved it forward counts only when the tries
    // together fell below the floor rate): a transfer cut off (the connection dropped, or the
    // data connection closed early with a 426, a 451 or no reply) goes on where it stopped
    // (REST) over a new login, the bytes received so far kept in the temporary file and seen by
    // the check once, when the server's size and modification time are still those of the first
    // try (a file without a size, a time or a check starts over, as nothing would tell the rest
    // from the whole or the same file from another). A file that changed, and a server that
    // refuses or ignores REST (sends more than the rest, or counts the whole file in its 150
    // reply), sends the whole file again, into a new temporary file and with the check started
    // over; a server that ignored REST is not asked to resume again in the session. A file pieced
    // together from several tries that its check refuses is fetched once more from its first byte.
    // A server busy for a moment (421) and a login used before that gives nothing (the server may
    // have ended it between two files) are tried again too; a refusal of the file, a stall, or
    // content that cannot be the file's are not.
    bool DownloadFile(const char* remotePath, const char* directory, const char* name,
                      bool failIfExists, DWORD attributes, DWORD transferFlags, DWORD_PTR context,
                      net::IReceiveCheck* check = nullptr, ULONGLONG maxBytes = kAnySize) override;
    // Fetches remotePath (binary) into memory, as IRemoteFiles says, with the same bounds.
    std::optional<Bytes> FetchBytes(const char* remotePath, ULONGLONG maxBytes) override;
    bool Settle() override;
    // A connection to this one's server with its account and time-outs, not yet logged in; its
    // logins are tried once each (see IRemoteFiles::Further).
    std::unique_ptr<IRemoteFiles> Further() override;
    bool Open() override { return ReadyForTransfer(); }

    // The session's time-outs when the connection was made, which bound its transfers.
    DWORD m_connectTimeoutMs = 0;
    DWORD m_receiveTimeoutMs = 0;
    // When set, the time by which the fetches made meanwhile must have ended, their tries and
    // waits included (see net::ReceiveLimits::deadline).
    std::optional<std::chrono::steady_clock::time_point> m_deadline;

  private:
    friend class CInternetSession;
    // Logs in again when the last transfer left the control connection unusable; false with
    // the login's error when that fails.
    bool ReadyForTransfer();
    // Notes how a transfer ended: false (with its error kept) marks the connection spent.
    bool Ended(bool received);
    // The tries of one file through the receive loop into landing (see DownloadFile); begin
    // makes the landing of a file that starts over, which then replaces landing.
    bool Transfer(const char* remotePath, DWORD transferFlags, DWORD_PTR context,
                  const net::ReceiveLimits& limits, std::unique_ptr<Landing>& landing,
                  const std::function<std::unique_ptr<Landing>()>& begin,
                  net::IReceiveCheck* check);

    // The account of the first login (none: anonymous, as the transport takes it).
    std::optional<CString> m_user;
    std::optional<CString> m_password;
    bool m_bPassive = false;
    bool m_bSpent = false;
    bool m_bUsed = false;     // a transfer went over this login
    bool m_bFurther = false;  // a further connection: each login is tried once
};

class CInternetSession {
  public:
    // Opens the platform session at once (no network traffic); raises CInternetException
    // when it cannot. A null agent stands for the application's name. accessType is
    // INTERNET_OPEN_TYPE_PRECONFIG (the system's proxy settings) or INTERNET_OPEN_TYPE_DIRECT;
    // another, a proxy named here, or flags other than 0 raise ERROR_INVALID_PARAMETER.
    explicit CInternetSession(const char* agent = nullptr, DWORD context = 1,
                              DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG,
                              const char* proxyName = nullptr, const char* proxyBypass = nullptr,
                              DWORD flags = 0);
    virtual ~CInternetSession();
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;
    virtual void Close();

    // Sets INTERNET_OPTION_CONNECT_TIMEOUT or INTERNET_OPTION_RECEIVE_TIMEOUT (milliseconds)
    // for the connections made from then on, which bound their transfers by them (the floor
    // rate of net/download.h is judged over the receive time-out at most); false with
    // GetLastError() for another option (ERROR_INTERNET_INVALID_OPTION) or a value the platform
    // refuses.
    bool SetOption(DWORD option, DWORD value);

    // Connects and logs in; the caller owns the result (and takes it into a
    // std::unique_ptr at once). Raises CInternetException when no connection could be made
    // (CMemoryException when memory runs out).
    CFtpConnection* OpenFtpConnection(const char* server, const char* user, const char* password,
                                      INTERNET_PORT port = INTERNET_INVALID_PORT_NUMBER,
                                      bool passive = false);
    // Connects and logs in, trying a connect that was refused, timed out or met a busy server
    // (421) again after a short, growing, random wait: three tries at most, within 20 s
    // counted from the first (a refused login is never tried again). Fails as the last try did.
    ftp::Opened<ftp::Connection> Connect(const ftp::Account& account);
    // Has the connections made from now on, and the waits between tries of a connect, look at
    // token (null: none), which outlives them: see ftp::Session::Watch.
    void Watch(const CancelToken* token);

    // Whether a file cut off on the server at host and port may go on where it stopped: false
    // once the server ignored a REST in this session (from any thread).
    bool Resumes(const CString& host, INTERNET_PORT port);
    void StopResuming(const CString& host, INTERNET_PORT port);

    DWORD m_context;
    ftp::Session m_handle;  // null once closed
    DWORD m_connectTimeoutMs = 0;
    DWORD m_receiveTimeoutMs = 0;
    // The base of the waits before a connect is tried again (see net::RetryWaitMs).
    DWORD m_retryWaitMs = 0;
    const CancelToken* m_pCancel = nullptr;

  private:
    std::mutex m_noResumeMutex;
    std::set<CString> m_noResume;  // "host:port" of the servers not asked to resume
};
