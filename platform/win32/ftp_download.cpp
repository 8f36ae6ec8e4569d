// FTP downloads on Windows (platform/ftp_download.h) over WinInet's FtpOpenFileA and
// InternetReadFile, every call that waits on the server made on a thread of the download's own.
// Supports: the size from a SIZE command (FtpCommandA, after TYPE I, without which some servers
// refuse SIZE) or from the RETR's 125 or 150 reply; the data read as it arrives; the server's
// last reply about the transfer, read once the file's handle is closed.
// Quirks:
// - The caller waits for the download's thread only as long as it was told. Wine's WinInet
//   bounds neither a read from the data connection nor FtpOpenFileA's wait for the server to
//   connect back, and closing a handle does not end a call blocked on it there. When the time
//   is up, the file's handle is closed (the documented way to end a blocking WinInet call,
//   which Windows honours) and, should the call still not return, the thread is left to itself:
//   it touches nothing but the state it shares with the download. Wine's WinInet then refuses
//   further transfers on that connection (ERROR_FTP_TRANSFER_IN_PROGRESS).
// - FtpGetFileSize is not used: Wine's answers 0 for every file.
// - WinInet keeps the last reply per thread and reads the reply that ends a transfer when the
//   file's handle is closed: the thread that closes the handle is the one that reads the reply.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ftp_download.h"
#include "platform/ftp_replies.h"

namespace {

constexpr DWORD kPieceBytes = 64 * 1024;

// The last reply the server sent to this thread's WinInet calls.
std::string LastReply() {
    DWORD error = 0;
    char text[1024 + 1] = {};
    DWORD size = sizeof text - 1;
    if (!InternetGetLastResponseInfoA(&error, text, &size)) return std::string();
    return std::string(text, strnlen(text, sizeof text - 1));
}

// What a download and its thread share. The thread writes a piece only while the caller wants
// one and has none, so the two never touch the piece at once.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    HINTERNET connection;
    std::string path;
    DWORD flags;
    DWORD_PTR context;

    bool opened = false;
    ULONGLONG announced = kNoSizeAnnounced;
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

    void Open() {
        const bool binary = (flags & 3) != FTP_TRANSFER_TYPE_ASCII;
        ULONGLONG size = kNoSizeAnnounced;
        if (binary) {
            FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, "TYPE I", context, nullptr);
            if (FtpCommandA(connection, FALSE, FTP_TRANSFER_TYPE_BINARY, ("SIZE " + path).c_str(),
                            context, nullptr)) {
                size = ftp_replies::Size(LastReply()).value_or(kNoSizeAnnounced);
            }
        }
        HINTERNET opened = FtpOpenFileA(connection, path.c_str(), GENERIC_READ, flags, context);
        const DWORD openError = opened ? ERROR_SUCCESS : GetLastError();
        if (opened && size == kNoSizeAnnounced) {
            size = ftp_replies::ByteCount(LastReply()).value_or(kNoSizeAnnounced);
        }
        const std::lock_guard<std::mutex> lock(mutex);
        file = opened;
        announced = size;
        error = openError;
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

bool WaitFor(std::unique_lock<std::mutex>& lock, Shared& shared, DWORD timeoutMs,
             bool (*ready)(const Shared&)) {
    return shared.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&shared, ready] { return ready(shared); });
}

}  // namespace

struct FtpDownload__ {
    std::shared_ptr<Shared> shared;
    std::thread thread;

    // Ends the download: stops its thread, or leaves it to itself when it will not stop in time.
    DWORD End(DWORD timeoutMs) {
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->stop = true;
        shared->changed.notify_all();
        if (shared->wanted) {
            // A read under way: ended as WinInet ends a blocking call.
            lock.unlock();
            shared->CloseFile();
            lock.lock();
        }
        const bool finished =
            WaitFor(lock, *shared, timeoutMs, [](const Shared& s) { return s.finished; });
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

HFTPDOWNLOAD FtpOpenDownload(HINTERNET hConnect, LPCSTR remotePath, DWORD flags, DWORD_PTR context,
                             DWORD timeoutMs, ULONGLONG* announced) {
    // A line end in the path would end the command it is sent in.
    if (hConnect == nullptr || remotePath == nullptr || announced == nullptr ||
        std::strpbrk(remotePath, "\r\n")) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto download = std::make_unique<FtpDownload__>();
    download->shared = std::make_shared<Shared>();
    Shared& shared = *download->shared;
    shared.connection = hConnect;
    shared.path = remotePath;
    shared.flags = flags;
    shared.context = context;
    download->thread = std::thread([shared = download->shared] { shared->Run(); });

    std::unique_lock<std::mutex> lock(shared.mutex);
    if (!WaitFor(lock, shared, timeoutMs, [](const Shared& s) { return s.opened; })) {
        lock.unlock();
        download->End(0);
        SetLastError(ERROR_INTERNET_TIMEOUT);
        return nullptr;
    }
    if (shared.file == nullptr) {
        const DWORD error = shared.error;
        lock.unlock();
        download->End(timeoutMs);
        SetLastError(error);
        return nullptr;
    }
    *announced = shared.announced;
    return download.release();
}

BOOL FtpReadDownload(HFTPDOWNLOAD download, LPVOID buffer, DWORD size, LPDWORD read,
                     DWORD timeoutMs) {
    if (download == nullptr || read == nullptr || (buffer == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *read = 0;
    Shared& shared = *download->shared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    auto settled = [](const Shared& s) {
        return s.HasPiece() || s.ended || s.error != ERROR_SUCCESS || s.finished;
    };
    if (!settled(shared) && !shared.wanted) {
        shared.wanted = true;
        shared.changed.notify_all();
    }
    if (!WaitFor(lock, shared, timeoutMs, settled)) {
        SetLastError(ERROR_INTERNET_TIMEOUT);
        return FALSE;
    }
    if (shared.HasPiece()) {
        const DWORD count = std::min(size, shared.pieceSize - shared.pieceTaken);
        std::memcpy(buffer, shared.piece.data() + shared.pieceTaken, count);
        shared.pieceTaken += count;
        *read = count;
        return TRUE;
    }
    if (shared.error != ERROR_SUCCESS || !shared.ended) {
        SetLastError(shared.error != ERROR_SUCCESS ? shared.error
                                                   : ERROR_INTERNET_CONNECTION_ABORTED);
        return FALSE;
    }
    return TRUE;
}

DWORD FtpCloseDownload(HFTPDOWNLOAD download, DWORD timeoutMs) {
    if (download == nullptr) return 0;
    const std::unique_ptr<FtpDownload__> owned(download);
    return download->End(timeoutMs);
}
