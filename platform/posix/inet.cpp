// WinInet's FTP subset on libcurl: InternetOpenA, InternetConnectA, InternetCloseHandle,
// InternetSetOptionA; the downloads are in ftp_download.cpp.
// Supports: one easy handle and one multi handle per connection, logged in by InternetConnectA
// with a request that fetches nothing (USER, PASS, PWD) and kept in the multi handle's
// connection cache, so that every download of the connection reuses the one control
// connection; active mode ("-": the address of the control connection) or passive on request;
// binary or ASCII; the remote path sent in one RETR as given (NOCWD), each segment escaped;
// proxy settings from the environment as libcurl reads them; connect and receive time-outs
// that bound every wait; QUIT after a refused login, which libcurl would end by closing the
// connection without a word (a server may log that as a client that left rudely).
// Quirks:
// - Errors are decided on the CURLcode alone, never on the error text. libcurl reports some
//   server refusals as other codes than WinInet would: a 421 reply arrives as a time-out.
// - When the server has closed the control connection (a dropped transfer, an idle time-out),
//   or a download was abandoned before its end, the next download logs in again on a new one,
//   where WinInet would fail with ERROR_FTP_DROPPED.
// - Handles belong to one thread: closing a handle while another thread is inside a call on
//   it is not supported, so it cannot be used to cancel a transfer.
// - The receive time-out has whole seconds as its grain (libcurl's server-response and
//   low-speed limits); shorter values count as one second. A transfer that stops moving is
//   noticed up to about five seconds after the time-out: libcurl judges its speed over a
//   window of the last seconds, in which the bytes received before the stall still count.
#include <curl/curl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "handle_table.h"
#include "inet_objects.h"
#include "inet_url.h"
#include "posix_errors.h"
#include "posix_paths.h"
#include "unique_fd.h"
#include "win32_files.h"
#include "win32_inet.h"
#include "win32_process.h"

namespace posix {

namespace {

struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlFree>;

struct CurlUrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

}  // namespace

std::optional<std::string> FtpServerUrl(const char* host, INTERNET_PORT port) {
    if (host == nullptr || *host == '\0') return std::nullopt;
    std::string name = host;
    // An IPv6 address is written in brackets inside a URL; a name never holds a colon.
    if (name.find(':') != std::string::npos && name.front() != '[') name = "[" + name + "]";
    std::unique_ptr<CURLU, CurlUrlCleanup> url(curl_url());
    if (!url) return std::nullopt;
    const std::string portText = std::to_string(port == 0 ? INTERNET_DEFAULT_FTP_PORT : port);
    if (curl_url_set(url.get(), CURLUPART_SCHEME, "ftp", 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_HOST, name.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PORT, portText.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_PATH, "/", 0) != CURLUE_OK) {
        return std::nullopt;
    }
    char* text = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &text, CURLU_DEFAULT_PORT) != CURLUE_OK) {
        return std::nullopt;
    }
    const CurlText owned(text);
    return std::string(owned.get());
}

std::optional<std::string> FtpFileUrl(const std::string& serverUrl, const char* remotePath) {
    if (remotePath == nullptr) return std::nullopt;
    const std::string path = remotePath;
    if (path.empty() || path.back() == '/') return std::nullopt;
    std::string url = serverUrl;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        const std::string segment = path.substr(start, end - start);
        if (!segment.empty()) {
            const CurlText escaped(
                curl_easy_escape(nullptr, segment.data(), static_cast<int>(segment.size())));
            if (!escaped) return std::nullopt;
            url += escaped.get();
        }
        if (end == std::string::npos) break;
        // An empty first segment makes "//": libcurl's way of naming an absolute path.
        url += '/';
        start = end + 1;
    }
    return url;
}

}  // namespace posix

namespace {

using posix::Connection;
using posix::InternetObject;
using posix::Session;
using posix::Timeouts;

bool IsInternetObject(const posix::HandleObject& object) {
    return object.Kind() == posix::HandleKind::InternetSession ||
           object.Kind() == posix::HandleKind::InternetConnection;
}

// Any live internet object behind handle; null with ERROR_INVALID_HANDLE otherwise.
InternetObject* Find(HINTERNET handle) {
    posix::HandleObject* object = posix::handles::Find(handle);
    if (object == nullptr || !IsInternetObject(*object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<InternetObject*>(object);
}

template <class T>
T* FindAs(HINTERNET handle, posix::HandleKind kind) {
    return posix::handles::FindAs<T>(handle, kind, ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
}

bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

}  // namespace

namespace posix {

DWORD WinInetError(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return ERROR_SUCCESS;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_FTP_ACCEPT_TIMEOUT:
            return ERROR_INTERNET_TIMEOUT;
        case CURLE_LOGIN_DENIED:
        case CURLE_FTP_WEIRD_PASS_REPLY:
            return ERROR_INTERNET_LOGIN_FAILURE;
        case CURLE_URL_MALFORMAT:
            return ERROR_INTERNET_INVALID_URL;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_ABORTED_BY_CALLBACK:
            return ERROR_INTERNET_OPERATION_CANCELLED;
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return ERROR_INTERNET_CONNECTION_ABORTED;
        // The server answered with a refusal: WinInet reports those as "extended error",
        // with the reply as its text.
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_FTP_COULDNT_RETR_FILE:
        case CURLE_FTP_COULDNT_SET_TYPE:
        case CURLE_FTP_PORT_FAILED:
        case CURLE_FTP_ACCEPT_FAILED:
        case CURLE_FTP_WEIRD_PASV_REPLY:
        case CURLE_FTP_WEIRD_227_FORMAT:
        case CURLE_FTP_CANT_GET_HOST:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_QUOTE_ERROR:
        case CURLE_BAD_DOWNLOAD_RESUME:
            return ERROR_INTERNET_EXTENDED_ERROR;
        default:
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

}  // namespace posix

namespace {

// Whole seconds for libcurl's second-grained limits, never 0 (which would mean "no limit").
long Seconds(DWORD milliseconds) {
    return static_cast<long>((milliseconds + 999) / 1000);
}

bool ApplyTimeouts(CURL* curl, const Timeouts& t) {
    const long receiveSeconds = Seconds(t.receiveMs);
    return curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t.connectMs)) ==
               CURLE_OK &&
           curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(t.connectMs)) ==
               CURLE_OK &&
           curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, receiveSeconds) == CURLE_OK &&
           curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
           curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, receiveSeconds) == CURLE_OK;
}

bool Configure(CURL* curl, const Session& session, const std::string& serverUrl, const char* user,
               const char* password, bool passive) {
    bool ok = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp") == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_URL, serverUrl.c_str()) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_NOBODY, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD,
                               static_cast<long>(CURLFTPMETHOD_NOCWD)) == CURLE_OK &&
              ApplyTimeouts(curl, session.timeouts);
    if (ok && !passive) ok = curl_easy_setopt(curl, CURLOPT_FTPPORT, "-") == CURLE_OK;
    if (ok && session.direct) ok = curl_easy_setopt(curl, CURLOPT_PROXY, "") == CURLE_OK;
    // Without a user libcurl logs in as "anonymous", as WinInet does.
    if (ok && user != nullptr) {
        ok = curl_easy_setopt(curl, CURLOPT_USERNAME, user) == CURLE_OK &&
             curl_easy_setopt(curl, CURLOPT_PASSWORD, password ? password : "") == CURLE_OK;
    }
    return ok;
}

int CloseSocket(void* connection, curl_socket_t socket) {
    auto* owner = static_cast<Connection*>(connection);
    if (!owner->holdClosedSocket) return ::close(socket);
    owner->closedSocket.Reset(socket);
    return 0;
}

// Says QUIT on a control connection and waits, within the receive time-out, for the reply or
// the end of the connection, so that the QUIT is read before the connection goes. A server
// that no longer answers ends the wait at once.
void SayGoodbye(const posix::UniqueFd& control, DWORD receiveMs) {
    static constexpr char kQuit[] = "QUIT\r\n";
    constexpr auto kQuitSize = static_cast<ssize_t>(sizeof kQuit - 1);
    if (!control || ::send(control.Get(), kQuit, kQuitSize, MSG_NOSIGNAL) != kQuitSize) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(receiveMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{control.Get(), POLLIN, 0};
        const int polled =
            ::poll(&ready, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return;
        char reply[256];
        const ssize_t received = ::recv(control.Get(), reply, sizeof reply, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0 || std::memchr(reply, '\n', static_cast<size_t>(received))) return;
    }
}

using posix::Fail;

HINTERNET FailHandle(DWORD error) {
    return posix::FailWith<HINTERNET>(error, nullptr);
}

}  // namespace

namespace posix {

Driven Drive(Connection& connection, CURLcode* result, DWORD timeoutMs,
             const std::function<bool()>& ready) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    CURLM* multi = connection.multi.get();
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            *result = CURLE_OUT_OF_MEMORY;
            return Driven::Done;
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE) {
                *result = message->data.result;
                return Driven::Done;
            }
        }
        if (ready()) return Driven::Ready;
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (wait.count() <= 0) return Driven::TimedOut;
        curl_multi_poll(multi, nullptr, 0,
                        static_cast<int>(std::min<long long>(wait.count(), 1000)), nullptr);
    }
}

CURLcode Perform(Connection& connection) {
    if (curl_multi_add_handle(connection.multi.get(), connection.curl.get()) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    // The handle's own time-outs end the request.
    CURLcode result = CURLE_OPERATION_TIMEDOUT;
    Drive(connection, &result, 0xFFFFFFFFu, [] { return false; });
    curl_multi_remove_handle(connection.multi.get(), connection.curl.get());
    return result;
}

}  // namespace posix

HINTERNET InternetOpenA(LPCSTR, DWORD dwAccessType, LPCSTR, LPCSTR, DWORD dwFlags) {
    if (dwFlags != 0) return FailHandle(ERROR_INVALID_PARAMETER);
    if (dwAccessType != INTERNET_OPEN_TYPE_PRECONFIG && dwAccessType != INTERNET_OPEN_TYPE_DIRECT) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    if (!CurlReady()) return FailHandle(ERROR_INTERNET_INTERNAL_ERROR);
    auto session = std::make_unique<Session>();
    session->direct = dwAccessType == INTERNET_OPEN_TYPE_DIRECT;
    return posix::handles::Add(std::move(session));
}

HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                           LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                           DWORD_PTR) {
    auto* session = FindAs<Session>(hInternet, posix::HandleKind::InternetSession);
    if (session == nullptr) return nullptr;
    if (dwService != INTERNET_SERVICE_FTP) return FailHandle(ERROR_INVALID_PARAMETER);
    std::optional<std::string> serverUrl = posix::FtpServerUrl(lpszServerName, nServerPort);
    if (!serverUrl) return FailHandle(ERROR_INTERNET_INVALID_URL);

    auto connection = std::make_unique<Connection>();
    connection->session = session;
    connection->timeouts = session->timeouts;
    connection->serverUrl = *serverUrl;
    connection->multi.reset(curl_multi_init());
    connection->curl.reset(curl_easy_init());
    CURL* curl = connection->curl.get();
    if (curl == nullptr || !connection->multi) return FailHandle(ERROR_NOT_ENOUGH_MEMORY);
    if (!Configure(curl, *session, connection->serverUrl, lpszUserName, lpszPassword,
                   (dwFlags & INTERNET_FLAG_PASSIVE) != 0) ||
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &CloseSocket) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, connection.get()) != CURLE_OK) {
        return FailHandle(ERROR_INTERNET_INTERNAL_ERROR);
    }
    // Fetches nothing: connects, logs in and stays connected for the downloads that follow.
    connection->holdClosedSocket = true;
    const CURLcode result = posix::Perform(*connection);
    connection->holdClosedSocket = false;
    const posix::UniqueFd closed = std::move(connection->closedSocket);
    if (result == CURLE_LOGIN_DENIED || result == CURLE_FTP_WEIRD_PASS_REPLY) {
        SayGoodbye(closed, connection->timeouts.receiveMs);
    }
    if (result != CURLE_OK) return FailHandle(posix::WinInetError(result));
    if (curl_easy_setopt(curl, CURLOPT_NOBODY, 0L) != CURLE_OK) {
        return FailHandle(ERROR_INTERNET_INTERNAL_ERROR);
    }
    return posix::handles::Add(std::move(connection));
}

BOOL InternetCloseHandle(HINTERNET hInternet) {
    InternetObject* object = Find(hInternet);
    if (object == nullptr) return FALSE;
    // As in WinInet, closing a session closes the connections made from it.
    if (object->Kind() == posix::HandleKind::InternetSession) {
        posix::handles::RemoveIf([object](const posix::HandleObject& other) {
            return other.Kind() == posix::HandleKind::InternetConnection &&
                   static_cast<const Connection&>(other).session == object;
        });
    }
    posix::handles::Remove(hInternet);
    return TRUE;
}

BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                        DWORD dwBufferLength) {
    InternetObject* object = Find(hInternet);
    if (object == nullptr) return FALSE;
    if (dwOption != INTERNET_OPTION_CONNECT_TIMEOUT &&
        dwOption != INTERNET_OPTION_RECEIVE_TIMEOUT) {
        return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
    if (lpBuffer == nullptr || dwBufferLength != sizeof(DWORD)) {
        return Fail(ERROR_INTERNET_BAD_OPTION_LENGTH);
    }
    DWORD value;
    std::memcpy(&value, lpBuffer, sizeof value);
    if (value == 0 || value == 0xFFFFFFFFu) return Fail(ERROR_INVALID_PARAMETER);
    (dwOption == INTERNET_OPTION_CONNECT_TIMEOUT ? object->timeouts.connectMs
                                                 : object->timeouts.receiveMs) = value;
    if (object->Kind() == posix::HandleKind::InternetConnection) {
        auto* connection = static_cast<Connection*>(object);
        if (!ApplyTimeouts(connection->curl.get(), connection->timeouts)) {
            return Fail(ERROR_INTERNET_INTERNAL_ERROR);
        }
    }
    return TRUE;
}
