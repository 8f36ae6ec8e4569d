// FTP downloads on POSIX (platform/ftp_download.h), piece by piece over the connection's libcurl
// multi handle, on the caller's thread.
// Supports: SIZE sent before the RETR as a quote command whose refusal does not stop the
// transfer (binary transfers only: a server cannot say the size of an ASCII one); the byte
// count of the RETR's 125 or 150 reply; the data handed out as it arrives, the transfer paused
// while a quarter of a megabyte waits to be read; the server's final reply (226 or 250)
// required before the data counts as ended.
// Quirks:
// - libcurl neither asks for the size itself nor stops the data at it
//   (CURLOPT_IGNORE_CONTENT_LENGTH): the receive loop above judges what arrived.
// - Ending a download before its data has ended closes the control connection; the next
//   request of the connection logs in again.
// - A download outlives the connection it was opened on only as an object that fails every
//   read (ERROR_INVALID_HANDLE).
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "handle_table.h"
#include "inet_objects.h"
#include "inet_url.h"
#include "platform/ftp_download.h"
#include "platform/ftp_replies.h"
#include "posix_errors.h"
#include "win32_inet.h"

namespace {

using posix::Connection;

// libcurl's receive buffer: each read from the data connection takes up to this much, so a large
// file costs a sixteenth of the reads (and waits) that libcurl's 16 KiB would.
constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr size_t kPauseAbove = 256 * 1024;

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

struct FtpDownload__ {
    Connection* connection = nullptr;
    std::unique_ptr<curl_slist, SlistFree> quote;
    std::string pending;  // received, not yet read from `taken` on
    size_t taken = 0;
    bool paused = false;
    bool accepted = false;  // the 125 or 150 reply came
    bool done = false;
    CURLcode result = CURLE_OK;
    DWORD finalReply = 0;  // a reply after the 125 or 150 one
    ULONGLONG sizeReply = kNoSizeAnnounced;
    ULONGLONG countReply = kNoSizeAnnounced;

    size_t Available() const { return pending.size() - taken; }

    // Lets the transfer run until it has ended, data waits, or timeoutMs have passed (false).
    bool Run(DWORD timeoutMs, bool untilAccepted) {
        if (done) return true;
        const posix::Driven driven = posix::Drive(
            *connection, &result, timeoutMs,
            [this, untilAccepted] { return Available() > 0 || (untilAccepted && accepted); });
        done = driven == posix::Driven::Done;
        return driven != posix::Driven::TimedOut;
    }

    static size_t OnData(char* data, size_t size, size_t count, void* self) {
        auto& download = *static_cast<FtpDownload__*>(self);
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
        auto& download = *static_cast<FtpDownload__*>(self);
        const std::string_view line(data, size * count);
        const DWORD code = ftp_replies::Code(line);
        if (code == 213 && !download.accepted) {
            download.sizeReply = ftp_replies::Size(line).value_or(kNoSizeAnnounced);
        } else if (code == 125 || code == 150) {
            download.accepted = true;
            download.countReply = ftp_replies::ByteCount(line).value_or(kNoSizeAnnounced);
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
        connection->download = nullptr;
        connection = nullptr;
    }
};

posix::Connection::~Connection() {
    if (download != nullptr) download->Detach();
}

HFTPDOWNLOAD FtpOpenDownload(HINTERNET hConnect, LPCSTR remotePath, DWORD flags, DWORD_PTR,
                             DWORD timeoutMs, ULONGLONG* announced) {
    auto* connection = posix::handles::FindAs<Connection>(
        hConnect, posix::HandleKind::InternetConnection, ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    if (connection == nullptr) return nullptr;
    if (connection->download != nullptr) {
        return posix::FailWith(ERROR_FTP_TRANSFER_IN_PROGRESS, nullptr);
    }
    // A line end in the path would end the command it is sent in.
    if (remotePath == nullptr || announced == nullptr || std::strpbrk(remotePath, "\r\n")) {
        return posix::FailWith(ERROR_INVALID_PARAMETER, nullptr);
    }
    const std::optional<std::string> url = posix::FtpFileUrl(connection->serverUrl, remotePath);
    if (!url) return posix::FailWith(ERROR_INVALID_PARAMETER, nullptr);

    auto download = std::make_unique<FtpDownload__>();
    const bool ascii = (flags & 3) == FTP_TRANSFER_TYPE_ASCII;
    if (!ascii) {
        // "*": a server without SIZE still serves the file.
        download->quote.reset(
            curl_slist_append(nullptr, ("*SIZE " + std::string(remotePath)).c_str()));
        if (!download->quote) return posix::FailWith(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    CURL* curl = connection->curl.get();
    if (curl_easy_setopt(curl, CURLOPT_URL, url->c_str()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, ascii ? 1L : 0L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_PREQUOTE, download->quote.get()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &FtpDownload__::OnData) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, download.get()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &FtpDownload__::OnReply) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, download.get()) != CURLE_OK ||
        curl_multi_add_handle(connection->multi.get(), curl) != CURLM_OK) {
        curl_easy_setopt(curl, CURLOPT_PREQUOTE, nullptr);
        return posix::FailWith(ERROR_INTERNET_INTERNAL_ERROR, nullptr);
    }
    download->connection = connection;
    connection->download = download.get();

    DWORD error = ERROR_SUCCESS;
    if (!download->Run(timeoutMs, true)) {
        error = ERROR_INTERNET_TIMEOUT;
    } else if (download->done && download->result != CURLE_OK && !download->accepted) {
        error = posix::WinInetError(download->result);
    }
    if (error != ERROR_SUCCESS) {
        download->Detach();
        return posix::FailWith(error, nullptr);
    }
    *announced =
        download->sizeReply != kNoSizeAnnounced ? download->sizeReply : download->countReply;
    return download.release();
}

BOOL FtpReadDownload(HFTPDOWNLOAD download, LPVOID buffer, DWORD size, LPDWORD read,
                     DWORD timeoutMs) {
    if (download == nullptr || read == nullptr || (buffer == nullptr && size != 0)) {
        return posix::Fail(ERROR_INVALID_PARAMETER);
    }
    *read = 0;
    if (download->connection == nullptr) return posix::Fail(ERROR_INVALID_HANDLE);
    if (download->Available() == 0 && !download->Run(timeoutMs, false)) {
        return posix::Fail(ERROR_INTERNET_TIMEOUT);
    }
    if (download->Available() > 0) {
        const size_t count = std::min<size_t>(size, download->Available());
        std::memcpy(buffer, download->pending.data() + download->taken, count);
        download->taken += count;
        *read = static_cast<DWORD>(count);
        if (download->paused && download->Available() < kPauseAbove / 2) {
            download->paused = false;
            curl_easy_pause(download->connection->curl.get(), CURLPAUSE_CONT);
        }
        return TRUE;
    }
    if (download->result != CURLE_OK) return posix::Fail(posix::WinInetError(download->result));
    return TRUE;
}

DWORD FtpCloseDownload(HFTPDOWNLOAD download, DWORD) {
    if (download == nullptr) return 0;
    const std::unique_ptr<FtpDownload__> owned(download);
    // Taken out before its end, the transfer is abandoned and says nothing more.
    const DWORD reply = download->done ? download->finalReply : 0;
    download->Detach();
    return reply;
}
