#include "net/internet.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "framework/winapp.h"
#include "kestrin_config.h"
#include "net/download.h"
#include "platform/landing.h"

namespace {

// Near the system library's own connect time-out. Its receive time-out on a control
// connection may have no limit at all, so both are always set explicitly.
constexpr DWORD kDefaultTimeoutMs = 60000;

// Test and demo builds (KESTRIN_SERVER_FROM_ENV) may shorten both time-outs with
// KESTRIN_NET_TIMEOUT_MS (milliseconds, 1 up to the default), so that a test of a silent or
// stalling server ends quickly. The release build ignores the environment.
DWORD TimeoutMs() {
    if (!KESTRIN_SERVER_FROM_ENV) return kDefaultTimeoutMs;
    const char* text = std::getenv("KESTRIN_NET_TIMEOUT_MS");
    if (text == nullptr || *text == '\0') return kDefaultTimeoutMs;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > kDefaultTimeoutMs) return kDefaultTimeoutMs;
    return static_cast<DWORD>(value);
}

// The bounds of a transfer over a connection, its window no longer than the receive time-out
// (a time-out never set counts as the default), its size no more than maxBytes.
net::ReceiveLimits LimitsOf(const CFtpConnection& connection, ULONGLONG maxBytes) {
    const DWORD connectMs =
        connection.m_connectTimeoutMs ? connection.m_connectTimeoutMs : kDefaultTimeoutMs;
    const DWORD receiveMs =
        connection.m_receiveTimeoutMs ? connection.m_receiveTimeoutMs : kDefaultTimeoutMs;
    net::ReceiveLimits limits;
    limits.windowMs = std::min(limits.windowMs, receiveMs);
    limits.openTimeoutMs = connectMs + receiveMs;
    limits.maxBytes = std::min(limits.maxBytes, maxBytes);
    return limits;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// A landing that counts the bytes written through it.
class CountingLanding final : public Landing {
  public:
    explicit CountingLanding(Landing& inner) : m_inner(inner) {}
    BOOL Write(LPCVOID data, DWORD size) override {
        m_bytes += size;
        return m_inner.Write(data, size);
    }
    BOOL Commit() override { return m_inner.Commit(); }

    ULONGLONG m_bytes = 0;

  private:
    Landing& m_inner;
};

// A transfer kept in memory (the receive loop holds it to its bound).
class MemoryLanding final : public Landing {
  public:
    BOOL Write(LPCVOID data, DWORD size) override {
        m_bytes.append(static_cast<const char*>(data), size);
        return TRUE;
    }
    BOOL Commit() override { return TRUE; }

    CString m_bytes;
};

}  // namespace

CString CInternetException::GetErrorMessage() const {
    switch (m_errorCode) {
        case ERROR_INTERNET_TIMEOUT:
            return "The server did not answer in time.";
        case ERROR_INTERNET_NAME_NOT_RESOLVED:
            return "The server name could not be resolved.";
        case ERROR_INTERNET_CANNOT_CONNECT:
            return "No connection could be made to the server.";
        case ERROR_INTERNET_LOGIN_FAILURE:
        case ERROR_INTERNET_INCORRECT_USER_NAME:
        case ERROR_INTERNET_INCORRECT_PASSWORD:
            return "The server refused the login.";
        case ERROR_INTERNET_CONNECTION_ABORTED:
        case ERROR_INTERNET_CONNECTION_RESET:
            return "The connection to the server was broken.";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "Out of memory.";
        default:
            return "Internet error " + std::to_string(m_errorCode) + ".";
    }
}

CInternetConnection::CInternetConnection(CInternetSession* session, const char* server,
                                         INTERNET_PORT port, DWORD context)
    : m_context(context), m_pSession(session), m_strServer(server ? server : ""), m_nPort(port) {}

CInternetConnection::~CInternetConnection() {
    CInternetConnection::Close();
}

void CInternetConnection::Close() {
    m_handle = ftp::Connection();
}

CFtpConnection::~CFtpConnection() {
    CFtpConnection::Close();
}

void CFtpConnection::Close() {
    CInternetConnection::Close();
    m_bSpent = false;
}

bool CFtpConnection::DownloadFile(const char* remotePath, const char* directory, const char* name,
                                  bool failIfExists, DWORD attributes, DWORD transferFlags,
                                  DWORD_PTR context, net::IReceiveCheck* check,
                                  ULONGLONG maxBytes) {
    if (remotePath == nullptr || directory == nullptr || name == nullptr || *directory == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    while (IsSeparator(*name)) ++name;
    if (*name == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The target must fit; its temporary name never has to.
    const size_t directoryLength = std::strlen(directory);
    const bool joined = IsSeparator(directory[directoryLength - 1]);
    if (directoryLength + (joined ? 0 : 1) + std::strlen(name) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (context == 1) context = m_context;
    if (!ReadyForTransfer()) return false;
    const std::unique_ptr<Landing> landing =
        Landing::Begin(directory, name, attributes, failIfExists);
    if (!landing) return false;
    return Transfer(remotePath, transferFlags, context, LimitsOf(*this, maxBytes), *landing, check);
}

std::optional<CString> CFtpConnection::FetchBytes(const char* remotePath, ULONGLONG maxBytes) {
    if (remotePath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    if (!ReadyForTransfer()) return std::nullopt;
    MemoryLanding landing;
    if (!Transfer(remotePath, FTP_TRANSFER_TYPE_BINARY, m_context, LimitsOf(*this, maxBytes),
                  landing, nullptr)) {
        return std::nullopt;
    }
    return std::move(landing.m_bytes);
}

bool CFtpConnection::Transfer(const char* remotePath, DWORD transferFlags, DWORD_PTR context,
                              const net::ReceiveLimits& limits, Landing& landing,
                              net::IReceiveCheck* check) {
    const bool reused = m_bUsed;
    m_bUsed = true;
    CountingLanding counted(landing);
    if (Ended(net::ReceiveFile(m_handle, remotePath, transferFlags, context, limits, counted,
                               check))) {
        return true;
    }
    // A control connection that was already in use may have been ended by the server between
    // two files (an idle or a session limit): when nothing of this file came, and the server
    // neither refused it nor announced more than it may hold, it is asked once more over a new
    // login. A server that stalled is not asked again: its time is spent already.
    const DWORD error = GetLastError();
    if (!reused || counted.m_bytes != 0 || error == ERROR_INTERNET_EXTENDED_ERROR ||
        error == ERROR_FILE_TOO_LARGE || error == ERROR_INVALID_DATA ||
        error == ERROR_INTERNET_TIMEOUT || !ReadyForTransfer()) {
        SetLastError(error);
        return false;
    }
    m_bUsed = true;
    return Ended(
        net::ReceiveFile(m_handle, remotePath, transferFlags, context, limits, counted, check));
}

bool CFtpConnection::ReadyForTransfer() {
    if (!m_bSpent) return true;
    if (m_pSession == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // The old connection ends first (QUIT where it still can): a server that counts its
    // connections a user sees one.
    m_handle = ftp::Connection();
    ftp::Opened<ftp::Connection> opened = m_pSession->m_handle.Connect(
        {m_strServer.c_str(), m_nPort, m_user ? m_user->c_str() : nullptr,
         m_password ? m_password->c_str() : nullptr, m_bPassive});
    if (!opened.value) {
        SetLastError(opened.error);
        return false;
    }
    m_handle = std::move(opened.value);
    m_bSpent = false;
    m_bUsed = false;
    return true;
}

bool CFtpConnection::Ended(bool received) {
    // The server's answer to a request it refused leaves the control connection as it was; a
    // closed connection stays closed.
    if (!received && m_handle && GetLastError() != ERROR_INTERNET_EXTENDED_ERROR) m_bSpent = true;
    return received;
}

bool CFtpConnection::Settle() {
    return Landing::Settle() != FALSE;
}

CInternetSession::CInternetSession(const char* agent, DWORD context, DWORD accessType,
                                   const char* proxyName, const char* proxyBypass, DWORD flags)
    : m_context(context) {
    const bool direct = accessType == INTERNET_OPEN_TYPE_DIRECT;
    if ((!direct && accessType != INTERNET_OPEN_TYPE_PRECONFIG) || proxyName != nullptr ||
        proxyBypass != nullptr || flags != 0) {
        throw CInternetException(ERROR_INVALID_PARAMETER, m_context);
    }
    CString agentName;
    if (agent == nullptr) {
        if (const CWinApp* app = AfxGetApp()) agentName = app->m_appName;
        agent = agentName.c_str();
    }
    const DWORD timeout = TimeoutMs();
    ftp::Opened<ftp::Session> session = ftp::Session::Open(agent, direct, {timeout, timeout});
    if (!session.value) throw CInternetException(session.error, m_context);
    m_handle = std::move(session.value);
    m_connectTimeoutMs = timeout;
    m_receiveTimeoutMs = timeout;
}

CInternetSession::~CInternetSession() {
    CInternetSession::Close();
}

bool CInternetSession::SetOption(DWORD option, DWORD value) {
    if (option != INTERNET_OPTION_CONNECT_TIMEOUT && option != INTERNET_OPTION_RECEIVE_TIMEOUT) {
        SetLastError(ERROR_INTERNET_INVALID_OPTION);
        return false;
    }
    ftp::Timeouts timeouts{m_connectTimeoutMs, m_receiveTimeoutMs};
    (option == INTERNET_OPTION_CONNECT_TIMEOUT ? timeouts.connectMs : timeouts.receiveMs) = value;
    const DWORD error = m_handle.SetTimeouts(timeouts);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    m_connectTimeoutMs = timeouts.connectMs;
    m_receiveTimeoutMs = timeouts.receiveMs;
    return true;
}

void CInternetSession::Close() {
    m_handle = ftp::Session();
}

CFtpConnection* CInternetSession::OpenFtpConnection(const char* server, const char* user,
                                                    const char* password, INTERNET_PORT port,
                                                    bool passive) {
    std::unique_ptr<CFtpConnection> connection;
    try {
        connection = std::make_unique<CFtpConnection>(this, server, port, m_context);
    } catch (const std::bad_alloc&) {
        throw CMemoryException();
    }
    ftp::Opened<ftp::Connection> opened = m_handle.Connect({server, port, user, password, passive});
    if (!opened.value) throw CInternetException(opened.error, connection->m_context);
    connection->m_handle = std::move(opened.value);
    if (user != nullptr) connection->m_user = user;
    if (password != nullptr) connection->m_password = password;
    connection->m_bPassive = passive;
    connection->m_connectTimeoutMs = m_connectTimeoutMs;
    connection->m_receiveTimeoutMs = m_receiveTimeoutMs;
    return connection.release();
}
