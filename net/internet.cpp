#include "net/internet.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "framework/winapp.h"
#include "kestrin_config.h"
#include "net/download.h"
#include "platform/handle_owners.h"
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

// Closes a held handle and forgets it; nothing when none is held, so Close can run twice.
void CloseHandleOnce(HINTERNET& handle) {
    if (handle != nullptr) {
        InternetCloseHandle(handle);
        handle = nullptr;
    }
}

bool SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
    return InternetSetOptionA(handle, option, &milliseconds, sizeof milliseconds) != FALSE;
}

// A time-out of a connection (the session's at its making, or its own since).
DWORD TimeoutOf(HINTERNET connection, DWORD option) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!InternetQueryOptionA(connection, option, &value, &size) || value == 0) {
        return kDefaultTimeoutMs;
    }
    return value;
}

// The bounds of a transfer over connection, its window no longer than its receive time-out.
net::ReceiveLimits LimitsOf(HINTERNET connection) {
    net::ReceiveLimits limits;
    const DWORD receiveMs = TimeoutOf(connection, INTERNET_OPTION_RECEIVE_TIMEOUT);
    limits.windowMs = std::min(limits.windowMs, receiveMs);
    const DWORD connectMs = TimeoutOf(connection, INTERNET_OPTION_CONNECT_TIMEOUT);
    limits.openTimeoutMs = std::min<ULONGLONG>(ULONGLONG{connectMs} + receiveMs, 0xFFFFFFFEu);
    return limits;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// localPath as the directory a landing starts from and the name walked below it: below when
// given (a leading part of localPath), else localPath's own directory.
bool SplitLocalPath(const char* localPath, const char* below, CString& root, CString& name) {
    const CString path = localPath;
    size_t cut;
    if (below != nullptr) {
        cut = std::strlen(below);
        if (path.compare(0, cut, below) != 0) return false;
        root = below;
        while (cut < path.size() && IsSeparator(path[cut])) ++cut;
    } else {
        const size_t separator = path.find_last_of("\\/");
        // A drive without a separator ("C:x") would need its own current directory.
        if (separator == CString::npos) {
            if (path.find(':') != CString::npos) return false;
            root = ".";
            cut = 0;
        } else {
            root = path.substr(0, separator == 0 ? 1 : separator);
            if (separator == 2 && path[1] == ':') root = path.substr(0, 3);
            cut = separator + 1;
        }
    }
    name = path.substr(cut);
    return !root.empty() && !name.empty();
}

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
    CloseHandleOnce(m_handle);
}

CFtpConnection::~CFtpConnection() {
    CFtpConnection::Close();
}

void CFtpConnection::Close() {
    CInternetConnection::Close();
}

bool CFtpConnection::DownloadFile(const char* remotePath, const char* localPath, bool failIfExists,
                                  DWORD attributes, DWORD transferFlags, DWORD_PTR context,
                                  const char* below) {
    CString root;
    CString name;
    if (remotePath == nullptr || localPath == nullptr ||
        !SplitLocalPath(localPath, below, root, name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The target must fit; its temporary name never has to.
    if (std::strlen(localPath) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (context == 1) context = m_context;
    const std::unique_ptr<Landing> landing =
        Landing::Begin(root.c_str(), name.c_str(), attributes, failIfExists);
    if (!landing) return false;
    return net::ReceiveFile(m_handle, remotePath, transferFlags, context, LimitsOf(m_handle),
                            *landing, nullptr);
}

CInternetSession::CInternetSession(const char* agent, DWORD context, DWORD accessType,
                                   const char* proxyName, const char* proxyBypass, DWORD flags)
    : m_context(context) {
    CString agentName;
    if (agent == nullptr) {
        if (const CWinApp* app = AfxGetApp()) agentName = app->m_appName;
        agent = agentName.c_str();
    }
    InternetHandle handle(InternetOpenA(agent, accessType, proxyName, proxyBypass, flags));
    if (!handle) throw CInternetException(GetLastError(), m_context);
    const DWORD timeout = TimeoutMs();
    if (!SetTimeout(handle.get(), INTERNET_OPTION_CONNECT_TIMEOUT, timeout) ||
        !SetTimeout(handle.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, timeout)) {
        throw CInternetException(GetLastError(), m_context);
    }
    m_handle = static_cast<HINTERNET>(handle.release());
}

CInternetSession::~CInternetSession() {
    CInternetSession::Close();
}

void CInternetSession::Close() {
    CloseHandleOnce(m_handle);
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
    HINTERNET handle =
        InternetConnectA(m_handle, server, port, user, password, INTERNET_SERVICE_FTP,
                         passive ? INTERNET_FLAG_PASSIVE : 0, connection->m_context);
    if (handle == nullptr) throw CInternetException(GetLastError(), connection->m_context);
    connection->m_handle = handle;
    return connection.release();
}
