#include "net/internet.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <thread>
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

// A connect, and a file, is tried at most this often; the waits before the tries again stay
// within the budget, counted from the first try's start (a try that took it all is not
// repeated).
constexpr unsigned kTries = 3;
constexpr DWORD kRetryBudgetMs = 20000;
// The base of those waits: the second try comes 1 to 2 s after the first failed, the third 2 to
// 4 s after the second.
constexpr DWORD kDefaultRetryWaitMs = 1000;
// The server's word for "busy for a moment, come back": its connection limit was reached, or it
// is going down.
constexpr DWORD kServiceNotAvailable = 421;
constexpr DWORD kNotLoggedIn = 530;

// Test and demo builds may shorten the base of the waits with KESTRIN_RETRY_WAIT_MS
// (milliseconds, 0 up to the default), so that the tests of a busy or a dead server end quickly.
DWORD RetryWaitBaseMs() {
    if (!KESTRIN_SERVER_FROM_ENV) return kDefaultRetryWaitMs;
    const char* text = std::getenv("KESTRIN_RETRY_WAIT_MS");
    if (text == nullptr || *text == '\0') return kDefaultRetryWaitMs;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value > kDefaultRetryWaitMs) return kDefaultRetryWaitMs;
    return static_cast<DWORD>(value);
}

// Whether a connect that failed may succeed a moment later: nothing answered, no answer came in
// time (a 421 arrives that way on one system), or the server said it was busy. A refused login
// is final.
bool TransientRefusal(DWORD error, DWORD reply) {
    if (reply == kNotLoggedIn || error == ERROR_INTERNET_LOGIN_FAILURE ||
        error == ERROR_INTERNET_INCORRECT_USER_NAME || error == ERROR_INTERNET_INCORRECT_PASSWORD) {
        return false;
    }
    return reply == kServiceNotAvailable || error == ERROR_INTERNET_CANNOT_CONNECT ||
           error == ERROR_INTERNET_TIMEOUT;
}

// The bounds of a transfer over a connection, its window no longer than the receive time-out
// (a time-out never set counts as the default), its size no more than maxBytes.
net::ReceiveLimits LimitsOf(const CFtpConnection& connection, ULONGLONG maxBytes) {
    const DWORD connectMs =
        connection.m_connectTimeoutMs ? connection.m_connectTimeoutMs : kDefaultTimeoutMs;
    const DWORD receiveMs =
        connection.m_receiveTimeoutMs ? connection.m_receiveTimeoutMs : kDefaultTimeoutMs;
    net::ReceiveLimits limits{.deadline = connection.m_deadline};
    limits.windowMs = std::min(limits.windowMs, receiveMs);
    limits.openTimeoutMs = connectMs + receiveMs;
    limits.maxBytes = std::min(limits.maxBytes, maxBytes);
    return limits;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// A transfer kept in memory (the receive loop holds it to its bound).
// Bytes landed in memory, hashed as they are written: the digest is that of exactly the bytes
// kept, whatever the tries of the transfer were.
class MemoryLanding final : public Landing {
  public:
    // bound: the most the bytes may come to. Room for them is reserved at the first write, so
    // that megabytes are not copied over and over as they grow; only what is written is touched.
    explicit MemoryLanding(ULONGLONG bound) : m_bound(bound) {}
    BOOL Write(LPCVOID data, DWORD size) override {
        if (m_bytes.empty()) m_bytes.reserve(static_cast<size_t>(std::min(m_bound, kMostReserved)));
        m_bytes.append(static_cast<const char*>(data), size);
        m_hash.Update(data, size);
        return TRUE;
    }
    BOOL Commit() override { return TRUE; }

    CString m_bytes;
    net::Sha256 m_hash;

  private:
    static constexpr ULONGLONG kMostReserved = 64 * 1024 * 1024;
    ULONGLONG m_bound;
};

}  // namespace

namespace net {

DWORD RetryWaitMs(unsigned retry, double fraction, DWORD baseMs) {
    if (retry == 0) return 0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const double grown =
        static_cast<double>(baseMs) * static_cast<double>(1u << std::min(retry - 1, 8u));
    return static_cast<DWORD>(std::min(grown * (1.0 + fraction), double{kRetryBudgetMs}));
}

}  // namespace net

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
    std::unique_ptr<Landing> landing = Landing::Begin(directory, name, attributes, failIfExists);
    if (!landing) return false;
    return Transfer(
        remotePath, transferFlags, context, LimitsOf(*this, maxBytes), landing,
        [&] { return Landing::Begin(directory, name, attributes, failIfExists); }, check);
}

std::optional<IRemoteFiles::Bytes> CFtpConnection::FetchBytes(const char* remotePath,
                                                              ULONGLONG maxBytes) {
    if (remotePath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    if (!ReadyForTransfer()) return std::nullopt;
    auto begin = [maxBytes] { return std::unique_ptr<Landing>(new MemoryLanding(maxBytes)); };
    std::unique_ptr<Landing> landing = begin();
    if (!Transfer(remotePath, FTP_TRANSFER_TYPE_BINARY, m_context, LimitsOf(*this, maxBytes),
                  landing, begin, nullptr)) {
        return std::nullopt;
    }
    auto& memory = static_cast<MemoryLanding&>(*landing);
    const std::optional<net::Sha256Digest> digest = memory.m_hash.Finish();
    if (!digest) {
        SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
        return std::nullopt;
    }
    return Bytes{std::move(memory.m_bytes), *digest};
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
    const ftp::Account account{m_strServer.c_str(), m_nPort, m_user ? m_user->c_str() : nullptr,
                               m_password ? m_password->c_str() : nullptr, m_bPassive};
    ftp::Opened<ftp::Connection> opened =
        m_bFurther ? m_pSession->m_handle.Connect(account) : m_pSession->Connect(account);
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

std::unique_ptr<IRemoteFiles> CFtpConnection::Further() {
    if (m_pSession == nullptr) return nullptr;
    auto further =
        std::make_unique<CFtpConnection>(m_pSession, m_strServer.c_str(), m_nPort, m_context);
    further->m_user = m_user;
    further->m_password = m_password;
    further->m_bPassive = m_bPassive;
    further->m_connectTimeoutMs = m_connectTimeoutMs;
    further->m_receiveTimeoutMs = m_receiveTimeoutMs;
    further->m_bFurther = true;
    further->m_bSpent = true;  // logs in at its first use
    return further;
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
    m_retryWaitMs = RetryWaitBaseMs();
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
    ftp::Opened<ftp::Connection> opened = Connect({server, port, user, password, passive});
    if (!opened.value) throw CInternetException(opened.error, connection->m_context);
    connection->m_handle = std::move(opened.value);
    if (user != nullptr) connection->m_user = user;
    if (password != nullptr) connection->m_password = password;
    connection->m_bPassive = passive;
    connection->m_connectTimeoutMs = m_connectTimeoutMs;
    connection->m_receiveTimeoutMs = m_receiveTimeoutMs;
    return connection.release();
}

ftp::Opened<ftp::Connection> CInternetSession::Connect(const ftp::Account& account) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::minstd_rand random(static_cast<unsigned>(start.time_since_epoch().count()));
    std::uniform_real_distribution<double> fraction(0.0, 1.0);
    for (unsigned attempt = 1;; ++attempt) {
        ftp::Opened<ftp::Connection> opened = net::LoggedConnect(m_handle, account);
        if (opened.value || attempt == kTries || !TransientRefusal(opened.error, opened.reply)) {
            return opened;
        }
        const auto wait =
            std::chrono::milliseconds(net::RetryWaitMs(attempt, fraction(random), m_retryWaitMs));
        if (Clock::now() + wait - start > std::chrono::milliseconds(kRetryBudgetMs)) return opened;
        // The wait looks at the run's token as the transport's waits do.
        for (const Clock::time_point end = Clock::now() + wait; Clock::now() < end;) {
            if (!Continues(m_pCancel))
                return {ftp::Connection(), ERROR_INTERNET_OPERATION_CANCELLED};
            std::this_thread::sleep_for(std::min<Clock::duration>(
                end - Clock::now(), std::chrono::milliseconds(CancelToken::kPollMs)));
        }
    }
}

void CInternetSession::Watch(const CancelToken* token) {
    m_pCancel = token;
    m_handle.Watch(token);
}
