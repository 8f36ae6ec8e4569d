// The FTP transport (platform/ftp_transport.h) on libcurl, every wait on the caller's thread.
// Supports: one easy handle and one multi handle per connection, logged in by Connect with a
// request that fetches nothing (USER, PASS, PWD) and kept in the multi handle's connection
// cache, so that every download of the connection reuses the one control connection; active
// mode ("-": the address of the control connection; PORT, never a refused EPRT first, to an IPv4
// server) or passive on request; binary or ASCII; the transfer type sent when it changes; the
// remote path sent in one RETR as given (NOCWD), each segment escaped; quote commands before a
// binary RETR: SIZE when nothing else tells the size (ftp::AsksSize) or the transfer starts at
// an offset (on its own first when the MDTM asked depends on it), neither refusal stopping the
// transfer, then REST at an offset (ours, not libcurl's, which would stop the data at the size:
// the receive loop above judges what arrived, surplus included); the byte count of the RETR's
// 125 or 150 reply; the data handed out as it arrives, paused while a quarter of a megabyte
// waits to be read; the server's final reply (226 or 250) required before the data counts as
// ended; the code of a reply that refused a login or a transfer; proxy settings from the
// environment as libcurl reads them unless the session is direct; QUIT after a refused login,
// which libcurl would end by closing the connection without a word.
// Quirks:
// - Errors are decided on the CURLcode alone, never on the error text. libcurl reports some
//   server refusals as other codes than WinInet would: a 421 reply arrives as a time-out (its
//   code is reported beside it).
// - When the server has closed the control connection (a dropped transfer, an idle time-out),
//   or a download was abandoned before its end, the next download logs in again on a new one,
//   where WinInet would fail with ERROR_FTP_DROPPED.
// - A session, its connections and their downloads belong to one thread at a time: closing one
//   while another thread is inside a call on it is not supported; a transfer is stopped by the
//   run's token (Session::Watch), which every wait looks at.
// - The receive time-out has whole seconds as its grain (libcurl's server-response limit);
//   shorter values count as one second. A transfer that stops moving is left to the receive loop
//   (no low-speed limit of libcurl's), so that a time-out once the data has begun is the
//   server's last reply not coming after the data connection ended: a transfer cut off.
// - SIZE and MDTM are both answered 213: the command libcurl sent last, seen through its debug
//   callback (CURLOPT_VERBOSE, nothing printed), tells which.
// - A download outlives its connection only as an object that fails every read
//   (ERROR_INVALID_HANDLE).
#include "platform/ftp_transport.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ftp_curl.h"
#include "platform/ftp_replies.h"
#include "platform/unique_fd.h"

namespace {

// libcurl's receive buffer: each read from the data connection takes up to this much, so a large
// file costs a sixteenth of the reads (and waits) that libcurl's 16 KiB would.
constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr size_t kPauseAbove = 256 * 1024;

using posix::CurlCleanup;
using posix::CurlMultiCleanup;
using posix::SlistFree;

// The connections a session made that are still open: closed with it.
struct Registry {
    std::mutex mutex;
    std::set<ftp::Connection::State*> open;
};

using posix::Driven;

}  // namespace

struct ftp::Session::State {
    bool direct = false;
    const CancelToken* cancel = nullptr;
    Timeouts timeouts;
    std::shared_ptr<Registry> registry = std::make_shared<Registry>();
    ~State();
};

struct ftp::Connection::State {
    std::weak_ptr<Registry> registry;
    const CancelToken* cancel = nullptr;
    Timeouts timeouts;
    std::string serverUrl;
    // While Connect logs in, a socket libcurl closes is kept here instead: the last one is the
    // control connection, still open for a QUIT should the login be refused.
    bool holdClosedSocket = false;
    posix::UniqueFd closedSocket;
    DWORD loginReply = 0;  // the last reply while Connect logs in
    // Every request of the connection runs through this one multi handle, in whose connection
    // cache the control connection stays between requests; its clean-up sends QUIT. Declared
    // first, so destroyed after the easy handle, which is taken out of it first.
    std::unique_ptr<CURLM, CurlMultiCleanup> multi;
    std::unique_ptr<CURL, CurlCleanup> curl;
    Download::State* download = nullptr;  // the download open on the connection, if any
    // The server named the byte count in a 125 or 150 reply of this connection: it will again,
    // so a SIZE before the transfer would ask what the reply tells.
    bool countsAnnounced = false;
    // libcurl has set the connection to binary (TYPE I): its last transfer was a binary one.
    bool binary = false;

    ~State();
    // Ends the control connection (QUIT) and cuts off a download still open on it.
    void Shut();

    // Runs the easy handle's request, already in the multi handle, until it ends (Done, its
    // result in *result), ready() holds (Ready), or timeoutMs have passed (TimedOut).
    Driven Drive(CURLcode* result, DWORD timeoutMs, const std::function<bool()>& ready) {
        return posix::Drive(multi.get(), result, timeoutMs, cancel, ready);
    }

    static size_t OnLoginReply(char* data, size_t size, size_t count, void* self) {
        const DWORD code = ftp_replies::Code(std::string_view(data, size * count));
        if (code != 0) static_cast<State*>(self)->loginReply = code;
        return size * count;
    }

    static int CloseSocket(void* self, curl_socket_t socket) {
        auto* owner = static_cast<State*>(self);
        if (!owner->holdClosedSocket) return ::close(socket);
        owner->closedSocket.Reset(socket);
        return 0;
    }
};

struct ftp::Download::State {
    Connection::State* connection = nullptr;
    std::unique_ptr<curl_slist, SlistFree> quote;
    std::string pending;  // received, not yet read from `taken` on
    size_t taken = 0;
    bool paused = false;
    bool accepted = false;  // the 125 or 150 reply came
    bool done = false;
    CURLcode result = CURLE_OK;
    DWORD finalReply = 0;  // a reply after the 125 or 150 one
    DWORD lastReply = 0;   // the last reply of any kind
    ULONGLONG offset = 0;  // where the transfer starts in the file
    ULONGLONG sizeReply = kNoSizeAnnounced;
    ULONGLONG countReply = kNoSizeAnnounced;  // the 125 or 150 reply's count at offset 0
    ULONGLONG counted = kNoSizeAnnounced;     // the same at any offset
    ULONGLONG modified = kNoTimeTold;
    // The verb of the last command sent: SIZE and MDTM are both answered with 213.
    std::string sent;

    ~State() { Detach(); }

    size_t Available() const { return pending.size() - taken; }

    // Lets the transfer run until it has ended, data waits, or timeoutMs have passed (false).
    bool Run(DWORD timeoutMs, bool untilAccepted) {
        if (done) return true;
        const Driven driven = connection->Drive(&result, timeoutMs, [this, untilAccepted] {
            return Available() > 0 || (untilAccepted && accepted);
        });
        done = driven == Driven::Done;
        return driven != Driven::TimedOut;
    }

    static size_t OnData(char* data, size_t size, size_t count, void* self) {
        auto& download = *static_cast<State*>(self);
        if (download.Available() >= kPauseAbove) {
            download.paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (download.taken == download.pending.size()) {
            download.pending.clear();
            download.taken = 0;
        }
        download.pending.append(data, size * count);
        return size * count;
    }

    // Every line the server sends on the control connection; the last line of each reply
    // ("NNN text") is the one that counts.
    static size_t OnReply(char* data, size_t size, size_t count, void* self) {
        auto& download = *static_cast<State*>(self);
        const std::string_view line(data, size * count);
        const DWORD code = ftp_replies::Code(line);
        if (code != 0) download.lastReply = code;
        if (code == 213 && !download.accepted && download.sent == "MDTM") {
            download.modified = ftp_replies::Modified(line).value_or(kNoTimeTold);
        } else if (code == 213 && !download.accepted) {
            download.sizeReply = ftp_replies::Size(line).value_or(kNoSizeAnnounced);
        } else if (code == 125 || code == 150) {
            download.accepted = true;
            download.counted = ftp_replies::ByteCount(line).value_or(kNoSizeAnnounced);
            if (download.offset == 0) {
                download.countReply = download.counted;
                if (download.connection != nullptr && download.countReply != kNoSizeAnnounced) {
                    download.connection->countsAnnounced = true;
                }
            }
        } else if (code != 0 && download.accepted) {
            download.finalReply = code;
        }
        return size * count;
    }

    // Takes the request out of the connection, which is then free for the next.
    void Detach() {
        if (connection == nullptr) return;
        CURL* curl = connection->curl.get();
        curl_multi_remove_handle(connection->multi.get(), curl);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
        curl_easy_setopt(curl, CURLOPT_PREQUOTE, nullptr);
        // The connection's trace goes on (KeepVerbSent hands libcurl's account to it).
        curl_easy_setopt(curl, CURLOPT_VERBOSE, ftp::g_traceSink.load() != nullptr ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
        connection->download = nullptr;
        connection = nullptr;
    }
};

namespace ftp {

void Session::Free::operator()(State* state) const {
    delete state;
}
void Connection::Free::operator()(State* state) const {
    delete state;
}
void Download::Free::operator()(State* state) const {
    delete state;
}

Session::State::~State() {
    // As in WinInet, closing a session closes the connections made from it.
    const std::lock_guard<std::mutex> lock(registry->mutex);
    for (Connection::State* connection : registry->open) connection->Shut();
    registry->open.clear();
}

Connection::State::~State() {
    if (const std::shared_ptr<Registry> owner = registry.lock()) {
        const std::lock_guard<std::mutex> lock(owner->mutex);
        owner->open.erase(this);
    }
    Shut();
}

void Connection::State::Shut() {
    if (download != nullptr) download->Detach();
    curl.reset();
    multi.reset();
}

Opened<Session> Session::Open(const char*, bool direct, const Timeouts& timeouts) {
    if (!posix::CurlReady()) return {Session(), ERROR_INTERNET_INTERNAL_ERROR};
    Session session(Session::Owned(new State));
    session.m_state->direct = direct;
    const DWORD error = session.SetTimeouts(timeouts);
    if (error != ERROR_SUCCESS) return {Session(), error};
    return {std::move(session), ERROR_SUCCESS};
}

DWORD Session::SetTimeouts(const Timeouts& timeouts) {
    if (!m_state) return ERROR_INVALID_HANDLE;
    for (DWORD value : {timeouts.connectMs, timeouts.receiveMs}) {
        if (value == 0 || value == 0xFFFFFFFFu) return ERROR_INVALID_PARAMETER;
    }
    m_state->timeouts = timeouts;
    return ERROR_SUCCESS;
}

void Session::Watch(const CancelToken* token) {
    if (m_state) m_state->cancel = token;
}

Opened<Connection> Session::Connect(const Account& account) {
    if (!m_state) return {Connection(), ERROR_INVALID_HANDLE};
    std::optional<std::string> serverUrl = posix::FtpServerUrl(account.host, account.port);
    if (!serverUrl) return {Connection(), ERROR_INTERNET_INVALID_URL};

    auto state = std::make_unique<Connection::State>();
    state->timeouts = m_state->timeouts;
    state->cancel = m_state->cancel;
    state->serverUrl = *serverUrl;
    state->multi.reset(curl_multi_init());
    state->curl.reset(curl_easy_init());
    CURL* curl = state->curl.get();
    if (curl == nullptr || !state->multi) return {Connection(), ERROR_NOT_ENOUGH_MEMORY};
    if (!posix::ConfigureCurl(curl, m_state->direct, state->timeouts, state->serverUrl, account) ||
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &Connection::State::CloseSocket) !=
            CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, state.get()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Connection::State::OnLoginReply) !=
            CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, state.get()) != CURLE_OK) {
        return {Connection(), ERROR_INTERNET_INTERNAL_ERROR};
    }
    // Fetches nothing: connects, logs in and stays connected for the downloads that follow.
    state->holdClosedSocket = true;
    DWORD unbounded = 0xFFFFFFFFu;  // within the time-outs set on the handle
    bool reconnected = false;
    const CURLcode result = posix::QuoteAlone(state->multi.get(), curl, state->serverUrl, nullptr,
                                              unbounded, state->cancel, &reconnected);
    state->holdClosedSocket = false;
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
    const posix::UniqueFd closed = std::move(state->closedSocket);
    if (result == CURLE_LOGIN_DENIED || result == CURLE_FTP_WEIRD_PASS_REPLY) {
        posix::SayGoodbye(closed, state->timeouts.receiveMs);
    }
    if (result != CURLE_OK) return {Connection(), posix::WinInetError(result), state->loginReply};
    {
        const std::lock_guard<std::mutex> lock(m_state->registry->mutex);
        m_state->registry->open.insert(state.get());
    }
    state->registry = m_state->registry;
    return {Connection(Connection::Owned(state.release())), ERROR_SUCCESS};
}

Opened<Download> Connection::Fetch(const FileRequest& request) {
    if (!m_state || !m_state->curl) return {Download(), ERROR_INVALID_HANDLE};
    State& connection = *m_state;
    if (connection.download != nullptr) return {Download(), ERROR_FTP_TRANSFER_IN_PROGRESS};
    // A line end in the path would end the command it is sent in.
    const char* path = request.remotePath;
    if (path == nullptr || std::strpbrk(path, "\r\n") || (request.ascii && request.offset != 0)) {
        return {Download(), ERROR_INVALID_PARAMETER};
    }
    const std::optional<std::string> url = posix::FtpFileUrl(connection.serverUrl, path);
    if (!url) return {Download(), ERROR_INVALID_PARAMETER};

    auto download = std::make_unique<Download::State>();
    download->offset = request.offset;
    download->connection = &connection;  // from here on, Detach sets the handle back
    connection.download = download.get();
    CURL* curl = connection.curl.get();
    if (curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Download::State::OnReply) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, download.get()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &posix::KeepVerbSent) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &download->sent) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L) != CURLE_OK) {
        return {Download(), ERROR_INTERNET_INTERNAL_ERROR};
    }
    FileRequest asking = request;
    bool sizeAsked = request.offset != 0 || AsksSize(request, connection.countsAnnounced);
    DWORD timeoutMs = request.timeoutMs;
    // The size on its own first where the time depends on it, over a connection in binary mode
    // already (a server may refuse SIZE in ASCII mode): a round trip either way.
    if (sizeAsked && request.offset == 0 && request.asksTime && request.timeFromBytes != 0 &&
        connection.binary) {
        const std::unique_ptr<curl_slist, SlistFree> size(
            posix::CommandList({std::string("*SIZE ") + path}));
        bool reconnected = false;
        const CURLcode result =
            posix::QuoteAlone(connection.multi.get(), curl, connection.serverUrl, size.get(),
                              timeoutMs, connection.cancel, &reconnected);
        if (result != CURLE_OK) {
            return {Download(), posix::WinInetError(result), download->lastReply};
        }
        // Over a new login, the SIZE went before the connection's TYPE I: asked again after it.
        sizeAsked = reconnected;
        if (reconnected) download->sizeReply = kNoSizeAnnounced;
        asking.asksTime = AsksTime(request, download->sizeReply);
    }
    // Nothing to ask is no list; a list that could not be made, no memory.
    const std::vector<std::string> asked = posix::AskedBeforeRetr(asking, sizeAsked);
    download->quote.reset(posix::CommandList(asked));
    if (!asked.empty() && !download->quote) return {Download(), ERROR_NOT_ENOUGH_MEMORY};
    if (curl_easy_setopt(curl, CURLOPT_URL, url->c_str()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, request.ascii ? 1L : 0L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_PREQUOTE, download->quote.get()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Download::State::OnData) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, download.get()) != CURLE_OK ||
        curl_multi_add_handle(connection.multi.get(), curl) != CURLM_OK) {
        return {Download(), ERROR_INTERNET_INTERNAL_ERROR};
    }

    DWORD error = ERROR_SUCCESS;
    const bool ran = download->Run(timeoutMs, true);
    connection.binary = ran && download->accepted && !request.ascii;
    if (!ran) {
        error = ERROR_INTERNET_TIMEOUT;
    } else if (download->done && download->result != CURLE_OK && !download->accepted) {
        // Only the REST may fail the commands before the RETR: a busy server is not one that
        // cannot resume.
        error = download->result == CURLE_QUOTE_ERROR && download->lastReply != 421
                    ? ERROR_NOT_SUPPORTED
                    : posix::WinInetError(download->result);
    }
    if (error != ERROR_SUCCESS) return {Download(), error, download->lastReply};
    return {Download(Download::Owned(download.release())), ERROR_SUCCESS};
}

ULONGLONG Download::Announced() const {
    if (!m_state) return kNoSizeAnnounced;
    return m_state->sizeReply != kNoSizeAnnounced ? m_state->sizeReply : m_state->countReply;
}

ULONGLONG Download::Counted() const {
    return m_state ? m_state->counted : kNoSizeAnnounced;
}

ULONGLONG Download::Modified() const {
    return m_state ? m_state->modified : kNoTimeTold;
}

Piece Download::Read(void* buffer, DWORD size, DWORD timeoutMs) {
    if (!m_state || (buffer == nullptr && size != 0)) return {ERROR_INVALID_PARAMETER, 0};
    State& download = *m_state;
    if (download.connection == nullptr) return {ERROR_INVALID_HANDLE, 0};
    if (download.Available() == 0 && !download.Run(timeoutMs, false)) {
        return {ERROR_INTERNET_TIMEOUT, 0};
    }
    if (download.Available() > 0) {
        const size_t count = std::min<size_t>(size, download.Available());
        std::memcpy(buffer, download.pending.data() + download.taken, count);
        download.taken += count;
        if (download.paused && download.Available() < kPauseAbove / 2) {
            download.paused = false;
            curl_easy_pause(download.connection->curl.get(), CURLPAUSE_CONT);
        }
        return {ERROR_SUCCESS, static_cast<DWORD>(count)};
    }
    // The data connection ended and the server's last reply never came, or said the transfer
    // broke (426, 451): the transfer was cut, as WinInet reports it.
    const DWORD last = download.finalReply;
    if (download.accepted && (download.result == CURLE_OPERATION_TIMEDOUT || (last / 100 == 4))) {
        return {ERROR_INTERNET_CONNECTION_ABORTED, 0};
    }
    if (download.result != CURLE_OK) return {posix::WinInetError(download.result), 0};
    return {ERROR_SUCCESS, 0};
}

DWORD Download::Close(DWORD) {
    if (!m_state) return 0;
    // Taken out before its end, the transfer is abandoned and says nothing more.
    const DWORD reply = m_state->done ? m_state->finalReply : 0;
    m_state.reset();
    return reply;
}

}  // namespace ftp
