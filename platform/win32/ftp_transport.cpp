// The FTP transport (platform/ftp_transport.h) on WinInet: InternetOpenA, InternetConnectA,
// and a download over FtpOpenFileA and InternetReadFile, every call that waits on the server
// during a download made on a thread of the download's own.
// Supports: the access type (preconfigured or direct); the connect and receive time-outs as
// session options; active or passive mode; binary or ASCII; the size from a SIZE command
// (FtpCommandA, after TYPE I, without which some servers refuse SIZE, when the connection is
// not in binary mode yet; asked only when nothing else tells it, ftp::AsksSize, and before every
// resumed transfer) or from the RETR's 125 or 150 reply; a transfer that starts at an offset
// (FtpCommandA "REST n" after the SIZE, then FtpOpenFileA, which sends only TYPE and PORT before
// its RETR: the server keeps the offset for the RETR); the code of a reply that refused a login
// or a transfer; the data read as it arrives; the server's last reply about the transfer, read
// once the file's handle is closed. Closing a session closes its connections (WinInet's own
// rule). Quirks:
// - WinInet's FtpGetFileA hands out no byte as it arrives, and its FtpOpenFileA and
//   InternetReadFile cannot be used as they are: Wine's WinInet answers 0 to FtpGetFileSize,
//   ignores the receive time-out on FTP data and does not end a read whose handle is closed.
// - The caller waits for the download's thread only as long as it was told. Wine's WinInet
//   bounds neither a read from the data connection nor FtpOpenFileA's wait for the server to
//   connect back, and closing a handle does not end a call blocked on it there. When the time
//   is up, the file's handle is closed (the documented way to end a blocking WinInet call,
//   which Windows honours) and, should the call still not return, the thread is left to itself:
//   it touches nothing but the state it shares with the download. Wine's WinInet then refuses
//   further transfers on that connection (ERROR_FTP_TRANSFER_IN_PROGRESS).
// - WinInet keeps the last reply per thread and reads the reply that ends a transfer when the
//   file's handle is closed: the thread that closes the handle is the one that reads the reply.
// - Errors are WinInet's own GetLastError() numbers.
// windows.h comes before wininet.h, and wininet.h before our header, whose numbers are its own.
#include "platform/win32api.h"

#include <wininet.h>

#include "platform/ftp_transport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ftp_replies.h"
#include "ftp_login.h"

namespace {

constexpr DWORD kPieceBytes = 64 * 1024;

// What a download and its thread share. The thread writes a piece only while the caller wants
// one and has none, so the two never touch the piece at once.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    HINTERNET connection;
    const CancelToken* cancel = nullptr;  // the run's, looked at by the caller's waits
    std::string path;
    bool ascii = false;
    ULONGLONG offset = 0;
    bool askSize = true;     // SIZE before the transfer (ftp::AsksSize)
    ftp::FileRequest asked;  // the caller's request (its path is `path`): when to ask the time
    bool typeSet = false;    // the connection is in binary mode already: no TYPE I before the SIZE
    bool countSeen = false;  // the 125 or 150 reply named the byte count

    bool opened = false;
    ULONGLONG announced = ftp::kNoSizeAnnounced;
    ULONGLONG counted = ftp::kNoSizeAnnounced;  // the 125 or 150 reply's count, at any offset
    ULONGLONG modified = ftp::kNoTimeTold;
    DWORD openReply = 0;  // the code of the reply that refused the transfer
    HINTERNET file = nullptr;
    std::atomic<bool> fileClosed{false};

    bool wanted = false;  // the caller waits for a piece
    std::vector<char> piece = std::vector<char>(kPieceBytes);
    DWORD pieceSize = 0;
    DWORD pieceTaken = 0;
    bool ended = false;           // the data has ended
    DWORD error = ERROR_SUCCESS;  // why the download failed
    bool stop = false;            // the caller is done with the download
    DWORD reply = 0;              // the server's reply that ended the transfer
    bool finished = false;        // the thread has nothing more to do

    bool HasPiece() const { return pieceTaken < pieceSize; }

    // Closes the file's handle, once whoever comes first.
    void CloseFile() {
        if (file != nullptr && !fileClosed.exchange(true)) InternetCloseHandle(file);
    }

    // Sends a command that opens no data connection, and puts it in the trace.
    bool Command(const std::string& command) {
        ftp::Trace(ftp::Traced::Sent, command);
        return FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, command.c_str(), 0,
                           nullptr) != FALSE;
    }

    void Open() {
        const bool binary = !ascii;
        ULONGLONG size = ftp::kNoSizeAnnounced;
        ULONGLONG time = ftp::kNoTimeTold;
        // A resumed transfer is held to the whole file's size, which after REST only SIZE tells.
        const bool sizeAsked = binary && (askSize || offset != 0);
        if ((sizeAsked || ftp::AsksTime(asked, ftp::kNoSizeAnnounced)) && !typeSet) {
            Command("TYPE I");
        }
        if (sizeAsked && Command("SIZE " + path)) {
            size = ftp_replies::Size(LastReply()).value_or(ftp::kNoSizeAnnounced);
        }
        if (ftp::AsksTime(asked, size) && Command("MDTM " + path)) {
            time = ftp_replies::Modified(LastReply()).value_or(ftp::kNoTimeTold);
        }
        DWORD openError = ERROR_SUCCESS;
        DWORD refusal = 0;
        HINTERNET opened = nullptr;
        if (offset != 0 && !Command("REST " + std::to_string(offset))) {
            openError = GetLastError();
            refusal = ftp_replies::Code(LastReply());
            // A server busy for a moment is not one that cannot resume.
            if (openError == ERROR_INTERNET_EXTENDED_ERROR && refusal != 421) {
                openError = ERROR_NOT_SUPPORTED;
            }
        } else {
            ftp::Trace(ftp::Traced::Sent, "RETR " + path + " (FtpOpenFileA)");
            opened = FtpOpenFileA(connection, path.c_str(), GENERIC_READ,
                                  ascii ? FTP_TRANSFER_TYPE_ASCII : FTP_TRANSFER_TYPE_BINARY, 0);
            if (!opened) {
                openError = GetLastError();
                if (openError == ERROR_INTERNET_EXTENDED_ERROR) {
                    refusal = ftp_replies::Code(LastReply());
                }
            }
        }
        const ULONGLONG count =
            opened != nullptr ? ftp_replies::ByteCount(LastReply()).value_or(ftp::kNoSizeAnnounced)
                              : ftp::kNoSizeAnnounced;
        // After REST, servers differ on what the reply's count counts.
        if (size == ftp::kNoSizeAnnounced && offset == 0) size = count;
        const std::lock_guard<std::mutex> lock(mutex);
        countSeen = count != ftp::kNoSizeAnnounced && offset == 0;
        counted = count;
        modified = time;
        file = opened;
        announced = size;
        error = openError;
        openReply = refusal;
        this->opened = true;
        changed.notify_all();
    }

    // Reads pieces as the caller wants them until the data ends, the transfer fails or the
    // caller stops.
    void Read() {
        std::unique_lock<std::mutex> lock(mutex);
        while (file != nullptr && error == ERROR_SUCCESS && !ended) {
            changed.wait(lock, [this] { return wanted || stop; });
            if (stop) break;
            lock.unlock();
            DWORD got = 0;
            const BOOL ok = InternetReadFile(file, piece.data(), kPieceBytes, &got);
            const DWORD readError = ok ? ERROR_SUCCESS : GetLastError();
            lock.lock();
            wanted = false;
            if (!ok) {
                error = readError != ERROR_SUCCESS ? readError : ERROR_INTERNET_CONNECTION_ABORTED;
            } else if (got == 0) {
                ended = true;
            }
            pieceSize = got;
            pieceTaken = 0;
            changed.notify_all();
        }
    }

    void Run() {
        Open();
        Read();
        std::unique_lock<std::mutex> lock(mutex);
        if (file != nullptr && !fileClosed) {
            lock.unlock();
            CloseFile();
            const DWORD code = ftp_replies::Code(LastReply());
            lock.lock();
            // The reply that opened the transfer is still the last one when none ended it.
            reply = code == 125 || code == 150 ? 0 : code;
        }
        finished = true;
        changed.notify_all();
    }
};

// Waits until ready(shared), timeoutMs at most, looking at the run's token between slices of
// CancelToken::kPollMs (its pulse beats on the caller's thread, with the lock let go): false
// when the time ran out or the run was cancelled (Cancelled then says so).
bool WaitFor(std::unique_lock<std::mutex>& lock, Shared& shared, DWORD timeoutMs,
             bool (*ready)(const Shared&)) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ready(shared)) return true;
        lock.unlock();
        const bool goOn = Continues(shared.cancel);
        lock.lock();
        const Clock::time_point now = Clock::now();
        if (!goOn || now >= deadline) return ready(shared);
        const auto slice = std::min<Clock::duration>(
            deadline - now, std::chrono::milliseconds(CancelToken::kPollMs));
        if (shared.changed.wait_for(lock, slice, [&shared, ready] { return ready(shared); })) {
            return true;
        }
    }
}

// Why a wait gave up: the run was cancelled, else the time ran out.
DWORD WaitError(const Shared& shared) {
    return shared.cancel != nullptr && shared.cancel->IsCancelled()
               ? ERROR_INTERNET_OPERATION_CANCELLED
               : ERROR_INTERNET_TIMEOUT;
}

// How long a download given up before its data ended waits for its thread: the server's reply
// to a transfer given up is not needed, and Wine's WinInet may not end the call for long.
constexpr DWORD kAbandonWaitMs = 1000;

}  // namespace

struct ftp::Download::State {
    std::shared_ptr<Shared> shared;
    std::thread thread;

    // Ends the download: stops its thread, or leaves it to itself when it will not stop in time.
    // Once ended, it says 0.
    DWORD End(DWORD timeoutMs) {
        if (!thread.joinable()) return 0;
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->stop = true;
        shared->changed.notify_all();
        if (shared->wanted) {
            // A read under way: ended as WinInet ends a blocking call.
            lock.unlock();
            shared->CloseFile();
            lock.lock();
        }
        const DWORD waitMs = shared->ended ? timeoutMs : std::min(timeoutMs, kAbandonWaitMs);
        const bool finished =
            WaitFor(lock, *shared, waitMs, [](const Shared& s) { return s.finished; });
        const DWORD reply = finished ? shared->reply : 0;
        lock.unlock();
        if (finished) {
            thread.join();
        } else {
            thread.detach();
        }
        return reply;
    }
};

struct ftp::Session::State {
    HINTERNET handle = nullptr;
    const CancelToken* cancel = nullptr;
    DWORD connectMs = 60000;
};

struct ftp::Connection::State {
    HINTERNET handle = nullptr;
    const CancelToken* cancel = nullptr;
    // What the connection's earlier transfers tell, so that the next asks it no more: the
    // transfer type WinInet left set (FtpOpenFileA sends its own TYPE before every RETR), and
    // whether the server names the byte count in its 125 or 150 reply.
    bool binary = false;
    bool countsAnnounced = false;
};

namespace ftp {

void Session::Free::operator()(State* state) const {
    InternetCloseHandle(state->handle);
    delete state;
}
void Connection::Free::operator()(State* state) const {
    // Fails, harmlessly, when the session was closed first: that closed the connection too.
    InternetCloseHandle(state->handle);
    delete state;
}
void Download::Free::operator()(State* state) const {
    state->End(0);
    delete state;
}

Opened<Session> Session::Open(const char* agent, bool direct, const Timeouts& timeouts) {
    const DWORD access = direct ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PRECONFIG;
    HINTERNET handle = InternetOpenA(agent, access, nullptr, nullptr, 0);
    if (handle == nullptr) return {Session(), GetLastError()};
    Session session(Owned(new State{handle}));
    const DWORD error = session.SetTimeouts(timeouts);
    if (error != ERROR_SUCCESS) return {Session(), error};
    return {std::move(session), ERROR_SUCCESS};
}

DWORD Session::SetTimeouts(const Timeouts& timeouts) {
    if (!m_state) return ERROR_INVALID_HANDLE;
    DWORD connect = timeouts.connectMs;
    DWORD receive = timeouts.receiveMs;
    if (!InternetSetOptionA(m_state->handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect,
                            sizeof connect) ||
        !InternetSetOptionA(m_state->handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive,
                            sizeof receive)) {
        return GetLastError();
    }
    m_state->connectMs = connect;
    return ERROR_SUCCESS;
}

Opened<Connection> Session::Connect(const Account& account) {
    if (!m_state) return {Connection(), ERROR_INVALID_HANDLE};
    const Dialed dialed = Dial(m_state->handle, account, m_state->connectMs, m_state->cancel);
    if (dialed.handle == nullptr) return {Connection(), dialed.error, dialed.reply};
    return {Connection(Connection::Owned(new Connection::State{dialed.handle, m_state->cancel})),
            ERROR_SUCCESS};
}

void Session::Watch(const CancelToken* token) {
    if (m_state) m_state->cancel = token;
}

Opened<Download> Connection::Fetch(const FileRequest& request) {
    if (!m_state) return {Download(), ERROR_INVALID_HANDLE};
    // A line end in the path would end the command it is sent in.
    if (request.remotePath == nullptr || std::strpbrk(request.remotePath, "\r\n") ||
        (request.ascii && request.offset != 0)) {
        return {Download(), ERROR_INVALID_PARAMETER};
    }
    Download::Owned download(new Download::State);
    download->shared = std::make_shared<Shared>();
    Shared& shared = *download->shared;
    shared.connection = m_state->handle;
    shared.cancel = m_state->cancel;
    shared.path = request.remotePath;
    shared.ascii = request.ascii;
    shared.offset = request.offset;
    shared.askSize = AsksSize(request, m_state->countsAnnounced);
    shared.asked = request;
    shared.asked.remotePath = nullptr;
    shared.typeSet = m_state->binary;
    download->thread = std::thread([shared = download->shared] { shared->Run(); });

    std::unique_lock<std::mutex> lock(shared.mutex);
    if (!WaitFor(lock, shared, request.timeoutMs, [](const Shared& s) { return s.opened; })) {
        const DWORD error = WaitError(shared);
        lock.unlock();
        download.reset();  // ends it at once
        return {Download(), error};
    }
    // A refused transfer may have left any type set.
    m_state->binary = shared.file != nullptr && !request.ascii;
    if (shared.file == nullptr) {
        const DWORD error = shared.error;
        const DWORD reply = shared.openReply;
        lock.unlock();
        download->End(request.timeoutMs);
        return {Download(), error, reply};
    }
    if (shared.countSeen) m_state->countsAnnounced = true;
    return {Download(std::move(download)), ERROR_SUCCESS};
}

ULONGLONG Download::Announced() const {
    if (!m_state) return kNoSizeAnnounced;
    const std::lock_guard<std::mutex> lock(m_state->shared->mutex);
    return m_state->shared->announced;
}

ULONGLONG Download::Counted() const {
    if (!m_state) return kNoSizeAnnounced;
    const std::lock_guard<std::mutex> lock(m_state->shared->mutex);
    return m_state->shared->counted;
}

ULONGLONG Download::Modified() const {
    if (!m_state) return kNoTimeTold;
    const std::lock_guard<std::mutex> lock(m_state->shared->mutex);
    return m_state->shared->modified;
}

Piece Download::Read(void* buffer, DWORD size, DWORD timeoutMs) {
    if (!m_state || (buffer == nullptr && size != 0)) return {ERROR_INVALID_PARAMETER, 0};
    Shared& shared = *m_state->shared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    auto settled = [](const Shared& s) {
        return s.HasPiece() || s.ended || s.error != ERROR_SUCCESS || s.finished;
    };
    if (!settled(shared) && !shared.wanted) {
        shared.wanted = true;
        shared.changed.notify_all();
    }
    if (!WaitFor(lock, shared, timeoutMs, settled)) return {WaitError(shared), 0};
    if (shared.HasPiece()) {
        const DWORD count = std::min(size, shared.pieceSize - shared.pieceTaken);
        std::memcpy(buffer, shared.piece.data() + shared.pieceTaken, count);
        shared.pieceTaken += count;
        return {ERROR_SUCCESS, count};
    }
    if (shared.error != ERROR_SUCCESS || !shared.ended) {
        return {shared.error != ERROR_SUCCESS ? shared.error : ERROR_INTERNET_CONNECTION_ABORTED,
                0};
    }
    return {ERROR_SUCCESS, 0};
}

DWORD Download::Close(DWORD timeoutMs) {
    if (!m_state) return 0;
    const DWORD reply = m_state->End(timeoutMs);
    m_state.reset();
    return reply;
}

}  // namespace ftp
