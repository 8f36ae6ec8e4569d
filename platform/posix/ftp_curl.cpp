// A handle's set-up, server and file URLs, libcurl's results as WinInet error numbers, and the
// QUIT after a refused login, for the libcurl FTP backend (ftp_curl.h).
#include "ftp_curl.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

namespace posix {

namespace {

struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlFree>;

struct CurlUrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// Whole seconds for libcurl's second-grained limits, never 0 (which would mean "no limit").
long Seconds(DWORD milliseconds) {
    return static_cast<long>((milliseconds + 999) / 1000);
}

bool ApplyTimeouts(CURL* curl, const ftp::Timeouts& t) {
    const long receiveSeconds = Seconds(t.receiveMs);
    return curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t.connectMs)) ==
               CURLE_OK &&
           curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(t.connectMs)) ==
               CURLE_OK &&
           curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, receiveSeconds) == CURLE_OK;
}

}  // namespace

bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

bool ConfigureCurl(CURL* curl, bool direct, const ftp::Timeouts& timeouts,
                   const std::string& serverUrl, const ftp::Account& account) {
    bool ok = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp") == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_URL, serverUrl.c_str()) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_NOBODY, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD,
                               static_cast<long>(CURLFTPMETHOD_NOCWD)) == CURLE_OK &&
              ApplyTimeouts(curl, timeouts);
    // PORT at once: a server without EPRT would refuse one before every file (a round trip each);
    // libcurl still says EPRT where it must, to an IPv6 server.
    if (ok && !account.passive) {
        ok = curl_easy_setopt(curl, CURLOPT_FTPPORT, "-") == CURLE_OK &&
             curl_easy_setopt(curl, CURLOPT_FTP_USE_EPRT, 0L) == CURLE_OK;
    }
    if (ok && direct) ok = curl_easy_setopt(curl, CURLOPT_PROXY, "") == CURLE_OK;
    if (ok && ftp::g_traceSink.load() != nullptr) {
        ok = curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &KeepVerbSent) == CURLE_OK &&
             curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L) == CURLE_OK;
    }
    // Without a user libcurl logs in as "anonymous", as WinInet does.
    if (ok && account.user != nullptr) {
        ok = curl_easy_setopt(curl, CURLOPT_USERNAME, account.user) == CURLE_OK &&
             curl_easy_setopt(curl, CURLOPT_PASSWORD, account.password ? account.password : "") ==
                 CURLE_OK;
    }
    return ok;
}

std::vector<std::string> AskedBeforeRetr(const ftp::FileRequest& request, bool sizeAsked) {
    std::vector<std::string> asked;
    if (request.remotePath == nullptr || request.ascii) return asked;
    const std::string path = request.remotePath;
    if (sizeAsked) asked.push_back("*SIZE " + path);
    if (request.asksTime) asked.push_back("*MDTM " + path);
    if (request.offset != 0) asked.push_back("REST " + std::to_string(request.offset));
    return asked;
}

int KeepVerbSent(CURL* curl, curl_infotype type, char* data, size_t size, void* verb) {
    if (ftp::g_traceSink.load() != nullptr) TraceCurl(curl, type, data, size, nullptr);
    if (type == CURLINFO_HEADER_OUT && verb != nullptr) {
        const std::string_view line(data, size);
        *static_cast<std::string*>(verb) = std::string(line.substr(0, line.find(' ')));
    }
    return 0;
}

curl_slist* CommandList(const std::vector<std::string>& commands) {
    std::unique_ptr<curl_slist, SlistFree> list;
    for (const std::string& command : commands) {
        curl_slist* longer = curl_slist_append(list.get(), command.c_str());
        if (longer == nullptr) return nullptr;
        (void)list.release();
        list.reset(longer);
    }
    return list.release();
}

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

int TraceCurl(CURL*, curl_infotype type, char* text, size_t size, void*) {
    if (type == CURLINFO_TEXT || type == CURLINFO_HEADER_OUT || type == CURLINFO_HEADER_IN) {
        ftp::Trace(type == CURLINFO_TEXT         ? ftp::Traced::Note
                   : type == CURLINFO_HEADER_OUT ? ftp::Traced::Sent
                                                 : ftp::Traced::Received,
                   std::string_view(text, size));
    }
    return 0;
}

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

void SayGoodbye(const UniqueFd& control, DWORD receiveMs) {
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

Driven Drive(CURLM* multi, CURLcode* result, DWORD timeoutMs, const CancelToken* cancel,
             const std::function<bool()>& ready) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
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
        // Given up as libcurl gives up a transfer whose progress callback says stop.
        if (!Continues(cancel)) {
            *result = CURLE_ABORTED_BY_CALLBACK;
            return Driven::Done;
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (wait.count() <= 0) return Driven::TimedOut;
        curl_multi_poll(multi, nullptr, 0,
                        static_cast<int>(std::min<long long>(wait.count(), CancelToken::kPollMs)),
                        nullptr);
    }
}

CURLcode QuoteAlone(CURLM* multi, CURL* curl, const std::string& serverUrl, curl_slist* commands,
                    DWORD& timeoutMs, const CancelToken* cancel, bool* reconnected) {
    const auto start = std::chrono::steady_clock::now();
    CURLcode result = CURLE_OPERATION_TIMEDOUT;
    if (curl_easy_setopt(curl, CURLOPT_URL, serverUrl.c_str()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_QUOTE, commands) != CURLE_OK ||
        curl_multi_add_handle(multi, curl) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
    } else {
        Drive(multi, &result, timeoutMs, cancel, [] { return false; });
        curl_multi_remove_handle(multi, curl);
    }
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
    timeoutMs = spent >= timeoutMs ? 1 : timeoutMs - static_cast<DWORD>(spent);
    long connects = 0;
    *reconnected =
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects) != CURLE_OK || connects != 0;
    if (curl_easy_setopt(curl, CURLOPT_QUOTE, nullptr) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_NOBODY, 0L) != CURLE_OK) {
        return CURLE_FAILED_INIT;
    }
    return result;
}

}  // namespace posix
