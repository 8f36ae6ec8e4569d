// The FTP transport the program fetches its files through: a session, a connection logged in to
// one account, and a remote file fetched piece by piece, so that the receive loop of net/ sees
// every byte as it arrives, bounds each wait, and learns what the server announced and how the
// transfer ended. One backend a system implements it: WinInet (platform/win32/ftp_transport.cpp)
// and libcurl (platform/posix/ftp_transport.cpp). Failures are values: the WinInet error numbers
// below, or another Win32 error number, the same on both systems.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/cancel_token.h"
#include "platform/win32api.h"

// WinInet's numbers for what goes wrong, kept by both backends (the Windows one includes the
// system's wininet.h first, which defines the same).
#ifndef INTERNET_ERROR_BASE
#define INTERNET_ERROR_BASE 12000
#define ERROR_INTERNET_TIMEOUT 12002
#define ERROR_INTERNET_EXTENDED_ERROR 12003
#define ERROR_INTERNET_INTERNAL_ERROR 12004
#define ERROR_INTERNET_INVALID_URL 12005
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007
#define ERROR_INTERNET_INVALID_OPTION 12009
#define ERROR_INTERNET_INCORRECT_USER_NAME 12013
#define ERROR_INTERNET_INCORRECT_PASSWORD 12014
#define ERROR_INTERNET_LOGIN_FAILURE 12015
#define ERROR_INTERNET_OPERATION_CANCELLED 12017
#define ERROR_INTERNET_CANNOT_CONNECT 12029
#define ERROR_INTERNET_CONNECTION_ABORTED 12030
#define ERROR_INTERNET_CONNECTION_RESET 12031
#define ERROR_FTP_TRANSFER_IN_PROGRESS 12110
#define ERROR_FTP_DROPPED 12111
#define INTERNET_DEFAULT_FTP_PORT 21
#define FTP_TRANSFER_TYPE_ASCII 0x00000001
#define FTP_TRANSFER_TYPE_BINARY 0x00000002
typedef WORD INTERNET_PORT;
#endif

namespace ftp {

// What a backend sent on a control connection and what it received there, and its own notes on
// the way (a connect refused, a name not resolved), for the diagnosis log: a sink that the layer
// above installs while its log is on. It is called on the thread of the call, with text as the
// backend has it (a command or reply with its line end; the password as sent).
enum class Traced { Sent, Received, Note };
using TraceSink = void (*)(Traced what, std::string_view text);
inline std::atomic<TraceSink> g_traceSink{nullptr};
inline void Trace(Traced what, std::string_view text) {
    if (const TraceSink sink = g_traceSink.load(std::memory_order_relaxed)) sink(what, text);
}

// Whether an error number is one of the network's or the server's (WinInet's range): a transfer
// or a connect that failed so may go otherwise over another connection or server; any other
// failure (the local disk, a bad name) would not.
inline bool IsInternetError(DWORD error) {
    return error > INTERNET_ERROR_BASE && error <= INTERNET_ERROR_BASE + 175;
}

// What a download reports when the server announced no size.
constexpr ULONGLONG kNoSizeAnnounced = ~0ULL;
// What a download reports when the server told no modification time.
constexpr ULONGLONG kNoTimeTold = 0;

// How long a wait on the server may last: the connect time-out covers name resolution, the
// connection, the login and the server's connecting back for a transfer; the receive time-out
// covers each reply and a transfer that stops moving. Neither is 0 or 0xFFFFFFFF (no limit).
struct Timeouts {
    DWORD connectMs = 60000;
    DWORD receiveMs = 60000;
};

// An object the transport made, or the error number of why it could not. reply is the code of
// the server's reply that refused the request when one did and the backend saw it (421: busy for
// a moment, 530: the login refused, 550: no such file, ...), else 0.
template <class T>
struct Opened {
    T value;
    DWORD error = ERROR_SUCCESS;
    DWORD reply = 0;
};

// The account a connection logs in to. A null user logs in as "anonymous"; port 0 is 21.
struct Account {
    const char* host = nullptr;
    INTERNET_PORT port = 0;
    const char* user = nullptr;
    const char* password = nullptr;
    bool passive = false;  // else active mode
};

// A remote file to fetch: its path relative to the login directory, "/" separated and sent as
// given, and how.
struct FileRequest {
    const char* remotePath = nullptr;
    bool ascii = false;  // else binary
    // Where the transfer starts in the file: above 0, the server is asked to start there (REST)
    // and sends the rest. A binary transfer only: an ASCII one with an offset is refused
    // (ERROR_INVALID_PARAMETER) before anything is sent. A server that refuses REST fails the
    // fetch with ERROR_NOT_SUPPORTED, nothing asked for and the connection usable as before.
    ULONGLONG offset = 0;
    // How long the server may take to accept the transfer.
    DWORD timeoutMs = 120000;
    // The size the caller knows the file must have (a signed manifest's record), which it holds
    // the bytes to itself; kNoSizeAnnounced when it knows none.
    ULONGLONG knownSize = kNoSizeAnnounced;
    // Ask the file's modification time (MDTM) before the transfer (binary only), so that a later
    // transfer that goes on where this one was cut off can tell it is still the same file. A
    // transfer at an offset asks the size (SIZE) as well, both before its REST.
    bool asksTime = false;
    // Not of a file the server's SIZE reply, asked before the transfer, shows smaller than this
    // (0: whatever its size): one too small to be worth going on with starts over when cut, and
    // its time would cost a round trip for nothing.
    ULONGLONG timeFromBytes = 0;
};

// Whether a fetch asks the server for the size (SIZE) before the transfer: for a binary transfer
// only, and only when the answer is nowhere else: the caller knows no size and the connection's
// earlier 125 or 150 replies named no byte count (countsAnnounced), as the next one then will.
// Every question is a round trip on the control connection.
inline bool AsksSize(const FileRequest& request, bool countsAnnounced) {
    return !request.ascii && request.knownSize == kNoSizeAnnounced && !countsAnnounced;
}

// Whether a fetch asks the time (MDTM) before the transfer, once the server's SIZE reply told
// the size (kNoSizeAnnounced: it told none, or was not asked).
inline bool AsksTime(const FileRequest& request, ULONGLONG size) {
    return !request.ascii && request.asksTime &&
           (size == kNoSizeAnnounced || size >= request.timeFromBytes);
}

// What a read of a download gave: error ERROR_SUCCESS with size above 0 (bytes read), with size 0
// once the data has ended; ERROR_INTERNET_TIMEOUT when nothing came in time (the download can
// still be read on); another error when the transfer broke.
struct Piece {
    DWORD error = ERROR_SUCCESS;
    DWORD size = 0;
};

// A remote file being fetched, from Connection::Fetch. Destroying it aborts it when its data has
// not ended, as Close(0) does.
class Download {
  public:
    // What the backend keeps, and how it frees it.
    struct State;
    struct Free {
        void operator()(State* state) const;
    };
    using Owned = std::unique_ptr<State, Free>;
    Download() = default;
    explicit Download(Owned state) : m_state(std::move(state)) {}
    explicit operator bool() const { return m_state != nullptr; }

    // The size of the whole file as the server announced it: its SIZE reply (when asked: see
    // AsksSize), else the "(N bytes)" of its 125 or 150 reply when the transfer starts at 0
    // (after REST, servers differ on what that count counts), else kNoSizeAnnounced.
    ULONGLONG Announced() const;
    // The "(N bytes)" of the 125 or 150 reply, also after a REST; kNoSizeAnnounced without one.
    ULONGLONG Counted() const;
    // The modification time of the server's file as its MDTM reply gave it (the digits of
    // "YYYYMMDDhhmmss" read as one number), when asked (FileRequest::asksTime) and told, else
    // kNoTimeTold.
    ULONGLONG Modified() const;
    // Reads what has arrived, up to size bytes, waiting at most timeoutMs for the first of them.
    Piece Read(void* buffer, DWORD size, DWORD timeoutMs);
    // Ends the download, aborting it when its data has not ended, waiting at most timeoutMs for
    // the server's last reply about the transfer, and returns that reply's code: 226 or 250 when
    // the server confirmed the transfer complete, 400 or more when it reported a failure, 0 when
    // no such reply was seen (aborted, dropped, or not shown by the system's library). Later
    // calls return 0.
    DWORD Close(DWORD timeoutMs);

  private:
    Owned m_state;
};

// A control connection, logged in: the account was accepted. Destroying it ends it (QUIT).
class Connection {
  public:
    // What the backend keeps, and how it frees it.
    struct State;
    struct Free {
        void operator()(State* state) const;
    };
    using Owned = std::unique_ptr<State, Free>;
    Connection() = default;
    explicit Connection(Owned state) : m_state(std::move(state)) {}
    explicit operator bool() const { return m_state != nullptr; }
    bool operator==(std::nullptr_t) const { return m_state == nullptr; }

    // Asks the server for the file and returns once it accepted the transfer (or refused it,
    // or the time ran out: ERROR_INTERNET_TIMEOUT). One download at a time a connection
    // (ERROR_FTP_TRANSFER_IN_PROGRESS); a connection whose session was closed fails with
    // ERROR_INVALID_HANDLE.
    Opened<Download> Fetch(const FileRequest& request);

  private:
    Owned m_state;
};

// A session: what its connections share. Opening one sends nothing; closing it closes the
// connections made from it, which then fail every call with ERROR_INVALID_HANDLE.
class Session {
  public:
    // What the backend keeps, and how it frees it.
    struct State;
    struct Free {
        void operator()(State* state) const;
    };
    using Owned = std::unique_ptr<State, Free>;
    Session() = default;
    explicit Session(Owned state) : m_state(std::move(state)) {}
    // The agent names the program (FTP never sends it); direct uses no proxy, else the
    // system's proxy settings apply.
    static Opened<Session> Open(const char* agent, bool direct, const Timeouts& timeouts);
    explicit operator bool() const { return m_state != nullptr; }

    // The time-outs of the connections made from now on; ERROR_INVALID_PARAMETER for 0 or
    // 0xFFFFFFFF where the backend refuses them.
    DWORD SetTimeouts(const Timeouts& timeouts);
    // Connects and logs in.
    Opened<Connection> Connect(const Account& account);
    // Has every wait of the connections made from now on (their logins included) look at token
    // (null: none) at least every CancelToken::kPollMs; once it is cancelled, the call that waits
    // gives up and fails with ERROR_INTERNET_OPERATION_CANCELLED. token outlives them.
    void Watch(const CancelToken* token);

  private:
    Owned m_state;
};

}  // namespace ftp
