#include "net/download.h"

#include <chrono>
#include <memory>

#include "platform/ftp_download.h"
#include "platform/landing.h"

namespace net {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPieceBytes = 64 * 1024;

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// The floor rate, judged window by window: each window that ends must have moved floorBytes.
class FloorRate {
  public:
    explicit FloorRate(const ReceiveLimits& limits)
        : m_window(std::chrono::milliseconds(limits.windowMs)),
          m_floor(limits.floorBytes),
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

// A download, ended when the transfer is over or given up; the end waits for the server's
// last reply no longer than closeTimeoutMs.
class OpenDownload {
  public:
    OpenDownload(HFTPDOWNLOAD download, DWORD closeTimeoutMs)
        : m_download(download), m_closeTimeoutMs(closeTimeoutMs) {}
    ~OpenDownload() { Close(); }
    OpenDownload(const OpenDownload&) = delete;
    OpenDownload& operator=(const OpenDownload&) = delete;

    HFTPDOWNLOAD Get() const { return m_download; }
    // The server's last reply about the transfer (see FtpCloseDownload). The last error, which
    // may tell why the transfer is given up, stays as it was.
    DWORD Close() {
        const DWORD error = GetLastError();
        const DWORD reply = m_download ? FtpCloseDownload(m_download, m_closeTimeoutMs) : 0;
        m_download = nullptr;
        SetLastError(error);
        return reply;
    }

  private:
    HFTPDOWNLOAD m_download;
    DWORD m_closeTimeoutMs;
};

}  // namespace

bool ReceiveFile(HINTERNET connection, const char* remotePath, DWORD transferFlags,
                 DWORD_PTR context, const ReceiveLimits& limits, Landing& landing,
                 IReceiveCheck* check) {
    ULONGLONG announced = kNoSizeAnnounced;
    OpenDownload download(FtpOpenDownload(connection, remotePath, transferFlags, context,
                                          limits.openTimeoutMs, &announced),
                          limits.windowMs);
    if (download.Get() == nullptr) return false;
    const bool sized = announced != kNoSizeAnnounced;
    const std::unique_ptr<char[]> piece(new char[kPieceBytes]);
    FloorRate floor(limits);
    ULONGLONG total = 0;
    for (;;) {
        DWORD got = 0;
        if (!FtpReadDownload(download.Get(), piece.get(), kPieceBytes, &got,
                             floor.MillisecondsLeft())) {
            // Nothing came before the window ended: the floor decides below.
            if (GetLastError() != ERROR_INTERNET_TIMEOUT) return false;
        } else if (got == 0) {
            break;
        }
        total += got;
        // Bytes beyond the announced size are never written: the transfer has failed already.
        if (sized && total > announced) return Fail(ERROR_INVALID_DATA);
        if (!sized && total > limits.maxUnannouncedBytes) return Fail(ERROR_FILE_TOO_LARGE);
        if (got != 0) {
            if (check != nullptr && !check->Take(piece.get(), got)) return Fail(ERROR_INVALID_DATA);
            if (!landing.Write(piece.get(), got)) return false;
        }
        if (!floor.Moved(got)) return Fail(ERROR_INTERNET_TIMEOUT);
    }
    const DWORD reply = download.Close();
    if (sized && total != announced) return Fail(ERROR_INVALID_DATA);
    // Without a size, only the server's word tells a whole transfer from a broken one.
    const bool confirmed = reply == 226 || reply == 250;
    if (reply >= 400 || (!confirmed && !sized)) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
    if (check != nullptr && !check->Accept(total)) return Fail(ERROR_INVALID_DATA);
    return landing.Commit() != FALSE;
}

}  // namespace net
