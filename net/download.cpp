#include "net/download.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/landing.h"

namespace net {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPieceBytes = 64 * 1024;
// A file known to be smaller than this (to the caller, or by the server's SIZE reply) is fetched
// whole again rather than resumed: asking its time would cost each such file a round trip to
// save less than it.
constexpr ULONGLONG kResumeFloorBytes = 64 * 1024;

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

bool CannotResume(Received& received, NoResume why) {
    received.noResume = why;
    return Fail(ERROR_NOT_SUPPORTED);
}

bool Refused(Received& received) {
    received.checkRefused = true;
    return Fail(ERROR_INVALID_DATA);
}

// Why a try at an offset may not go on with the download it opened (NoResume::None when it may):
// the file must be the first try's (its size, as first announced or else as the caller knows
// it, and its time), and the server must have taken the REST.
NoResume Continues(const ftp::Download& download, const Received& received, ULONGLONG known) {
    const ULONGLONG size = received.announced != ftp::kNoSizeAnnounced ? received.announced : known;
    if (download.Modified() == ftp::kNoTimeTold || download.Modified() != received.modified ||
        download.Announced() != size) {
        return NoResume::Changed;
    }
    const ULONGLONG counted = download.Counted();
    if (counted != ftp::kNoSizeAnnounced && counted == size) return NoResume::Ignored;
    return NoResume::None;
}

// The floor rate, judged window by window: each window that ends must have moved the floor's
// bytes a second for each of its seconds.
class FloorRate {
  public:
    explicit FloorRate(const ReceiveLimits& limits)
        : m_window(std::chrono::milliseconds(limits.windowMs)),
          m_floor(ULONGLONG{limits.floorBytesPerSecond} * limits.windowMs / 1000),
          m_end(Clock::now() + m_window) {}

    // How long a read may wait before the window ends; at least 1 ms.
    DWORD MillisecondsLeft() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
        return left > 1 ? static_cast<DWORD>(left) : 1;
    }

    // Counts bytes; false once a window has ended below the floor.
    bool Moved(DWORD bytes) {
        m_bytes += bytes;
        const Clock::time_point now = Clock::now();
        if (now < m_end) return true;
        if (m_bytes < m_floor) return false;
        m_bytes = 0;
        m_end = now + m_window;
        return true;
    }

  private:
    Clock::duration m_window;
    ULONGLONG m_floor;
    Clock::time_point m_end;
    ULONGLONG m_bytes = 0;
};

// The most a wait may last so as to end by the deadline (none: waitMs itself); at least 1 ms.
DWORD WithinDeadline(const ReceiveLimits& limits, DWORD waitMs) {
    if (!limits.deadline) return waitMs;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*limits.deadline - Clock::now())
            .count();
    return left < 1 ? 1 : static_cast<DWORD>(std::min<long long>(left, waitMs));
}

bool PastDeadline(const ReceiveLimits& limits) {
    return limits.deadline && Clock::now() >= *limits.deadline;
}

// Ends a download the loop gives up, waiting for the server's last reply no longer than a window
// (nor past the deadline); the last error, which may tell why it was given up, stays as it was.
class EndOnExit {
  public:
    EndOnExit(ftp::Download& download, const ReceiveLimits& limits)
        : m_download(download), m_limits(limits) {}
    ~EndOnExit() {
        const DWORD error = GetLastError();
        m_download.Close(WithinDeadline(m_limits, m_limits.windowMs));
        SetLastError(error);
    }
    EndOnExit(const EndOnExit&) = delete;
    EndOnExit& operator=(const EndOnExit&) = delete;

  private:
    ftp::Download& m_download;
    const ReceiveLimits& m_limits;
};

}  // namespace

bool ReceiveFile(ftp::Connection& connection, const char* remotePath, DWORD transferFlags,
                 DWORD_PTR context, const ReceiveLimits& limits, Landing& landing,
                 IReceiveCheck* check) {
    Received received;
    return ReceiveFile(connection, remotePath, transferFlags, context, limits, landing, check,
                       received);
}

bool ReceiveFile(ftp::Connection& connection, const char* remotePath, DWORD transferFlags,
                 DWORD_PTR, const ReceiveLimits& limits, Landing& landing, IReceiveCheck* check,
                 Received& received) {
    TryLog log(remotePath, received);
    ftp::FileRequest request;
    request.remotePath = remotePath;
    request.ascii = (transferFlags & 3) == FTP_TRANSFER_TYPE_ASCII;
    request.offset = received.bytes;
    if (PastDeadline(limits)) return Fail(ERROR_INTERNET_TIMEOUT);
    request.timeoutMs = WithinDeadline(limits, limits.openTimeoutMs);
    if (check != nullptr) request.knownSize = check->Expected();
    const bool resumed = received.bytes != 0;
    request.asksTime = !request.ascii && (resumed || request.knownSize == ftp::kNoSizeAnnounced ||
                                          request.knownSize >= kResumeFloorBytes);
    request.timeFromBytes = resumed ? 0 : kResumeFloorBytes;
    received.noResume = NoResume::None;
    received.checkRefused = false;
    ftp::Opened<ftp::Download> opened = connection.Fetch(request);
    received.refusal = opened.reply;
    if (!opened.value) {
        return opened.error == ERROR_NOT_SUPPORTED ? CannotResume(received, NoResume::Refused)
                                                   : Fail(opened.error);
    }
    ftp::Download& download = opened.value;
    const EndOnExit ending(download, limits);
    if (resumed) {
        const NoResume why = Continues(download, received, request.knownSize);
        if (why != NoResume::None) return CannotResume(received, why);
    } else {
        received.modified = download.Modified();
    }
    ULONGLONG announced = download.Announced();
    if (announced == ftp::kNoSizeAnnounced) {
        announced = received.announced;
    } else if (received.announced == ftp::kNoSizeAnnounced) {
        received.announced = announced;
    }
    const bool sized = announced != ftp::kNoSizeAnnounced;
    // More than the run may take is refused before a byte is written.
    if (sized && (announced > limits.maxBytes || (check != nullptr && !check->Admits(announced)))) {
        return Fail(ERROR_FILE_TOO_LARGE);
    }
    if (sized && received.bytes > announced) return Fail(ERROR_INVALID_DATA);
    const std::unique_ptr<char[]> piece(new char[kPieceBytes]);
    FloorRate floor(limits);
    ULONGLONG& total = received.bytes;
    for (;;) {
        const ftp::Piece read = download.Read(piece.get(), kPieceBytes,
                                              WithinDeadline(limits, floor.MillisecondsLeft()));
        // Nothing came before the window ended: the floor decides below.
        if (read.error != ERROR_SUCCESS && read.error != ERROR_INTERNET_TIMEOUT) {
            return Fail(read.error);
        }
        if (read.error == ERROR_SUCCESS && read.size == 0) break;
        const DWORD got = read.size;
        // Bytes beyond the announced size are never written: the transfer has failed already.
        // After a REST they are the server's word that it sent the file from its start.
        if (sized && total + got > announced) {
            return resumed ? CannotResume(received, NoResume::Ignored) : Fail(ERROR_INVALID_DATA);
        }
        if (!sized && total + got > limits.maxBytes) return Fail(ERROR_FILE_TOO_LARGE);
        if (got != 0) {
            if (check != nullptr && !check->Take(piece.get(), got)) return Refused(received);
            if (!landing.Write(piece.get(), got)) return false;
            total += got;
        }
        if (!floor.Moved(got) || PastDeadline(limits)) return Fail(ERROR_INTERNET_TIMEOUT);
    }
    const DWORD reply = download.Close(WithinDeadline(limits, limits.windowMs));
    const bool confirmed = reply == 226 || reply == 250;
    // Short of its size without the server's word, the transfer was cut off; with it, the
    // server served another file than it announced.
    if (sized && total < announced && !confirmed) {
        return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
    }
    if (sized && total != announced) return Fail(ERROR_INVALID_DATA);
    // Without a size, only the server's word tells a whole transfer from a broken one.
    if (reply >= 400 || (!confirmed && !sized)) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
    if (check != nullptr && !check->Accept(total)) return Refused(received);
    return log.Landed(landing.Commit() != FALSE);
}

}  // namespace net
