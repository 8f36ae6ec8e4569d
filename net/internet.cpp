#include "net/internet.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "framework/winapp.h"
#include "kestrin_config.h"
#include "platform/handle_owners.h"
#include "platform/landed_file.h"

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

// A name for the download's temporary file in the target's directory, in the shape of the
// system's temporary names ("~kst1a2b.tmp"), which no name of ours takes. Taken names are
// skipped by the caller, so the counter only has to vary.
CString TemporaryNameBeside(const char* target) {
    static unsigned counter =
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFF);
    const CString path = target;
    const size_t cut = path.find_last_of("\\/:");
    char name[16];
    std::snprintf(name, sizeof name, "~kst%04x.tmp", counter++ & 0xFFFF);
    return (cut == CString::npos ? CString() : path.substr(0, cut + 1)) + name;
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
                                  DWORD attributes, DWORD transferFlags, DWORD_PTR context) {
    if (localPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (context == 1) context = m_context;
    // Settled before any transfer; the final rename refuses a target made meanwhile.
    if (failIfExists && GetFileAttributesA(localPath) != INVALID_FILE_ATTRIBUTES) {
        SetLastError(ERROR_FILE_EXISTS);
        return false;
    }
    constexpr int kNameAttempts = 64;
    for (int attempt = 1;; ++attempt) {
        const CString temporary = TemporaryNameBeside(localPath);
        if (!FtpGetFileA(m_handle, remotePath, temporary.c_str(), TRUE, attributes, transferFlags,
                         context)) {
            const DWORD error = GetLastError();
            // Someone else's file: leave it and try another name.
            if (error == ERROR_FILE_EXISTS && attempt < kNameAttempts) continue;
            // Whatever a broken transfer left under our name goes.
            if (error != ERROR_FILE_EXISTS) DeleteFileA(temporary.c_str());
            SetLastError(error);
            return false;
        }
        if (!MoveFileExA(temporary.c_str(), localPath,
                         failIfExists ? 0 : MOVEFILE_REPLACE_EXISTING)) {
            const DWORD error = GetLastError();
            DeleteFileA(temporary.c_str());
            SetLastError(error);
            return false;
        }
        // The file is in place and whole; a creation time left stale by the system only makes
        // a later run fetch it again, so a failure here does not undo the download.
        MarkFileLanded(localPath);
        return true;
    }
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
