// The tries of one file over an FTP connection (CFtpConnection::Transfer): a transfer cut off
// goes on where it stopped over a new login while the server's file is the one partly received,
// else the file starts over; a server that cannot or will not resume is not asked to again.
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "net/download.h"
#include "net/internet.h"
#include "platform/landing.h"

namespace {

using Clock = std::chrono::steady_clock;

// A file is tried again until this many of its tries moved it nowhere (or too slowly).
constexpr unsigned kTries = 3;
// The server's word for "busy for a moment, come back".
constexpr DWORD kServiceNotAvailable = 421;

// Whether a transfer that failed is worth another try of the file: it was cut off (the
// connection broke, or the server never confirmed it), the server was busy for a moment, or a
// login used before gave nothing of it (the server may have ended it between two files). A
// refusal of the file, content that cannot be the file's, a bound, or a stall (its time is
// spent already) is final, as is a failure of the landing, and a transfer that has every byte
// the server announced (the server failed it all the same: there is no rest to ask for).
bool WorthAnotherTry(DWORD error, const net::Received& received, bool reused, ULONGLONG arrived) {
    const DWORD refusal = received.refusal;
    if (error == ERROR_INTERNET_OPERATION_CANCELLED ||
        (received.announced != ftp::kNoSizeAnnounced && received.bytes >= received.announced)) {
        return false;
    }
    if (refusal == kServiceNotAvailable || error == ERROR_INTERNET_CONNECTION_ABORTED ||
        error == ERROR_INTERNET_CONNECTION_RESET || error == ERROR_FTP_DROPPED) {
        return true;
    }
    return reused && arrived == 0 && error != ERROR_INTERNET_EXTENDED_ERROR &&
           error != ERROR_FILE_TOO_LARGE && error != ERROR_INVALID_DATA &&
           error != ERROR_INTERNET_TIMEOUT && error != ERROR_NOT_SUPPORTED;
}

// Whether the tries of a file so far kept to the floor rate on average: a try that moved the
// file forward is free only then, so that a server that cuts every transfer short is still held
// to the floor and the time-outs as one transfer would be.
bool OnPace(Clock::time_point start, ULONGLONG arrived, const net::ReceiveLimits& limits) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (elapsed < static_cast<long long>(limits.windowMs)) return true;
    return arrived * 1000 >=
           ULONGLONG{limits.floorBytesPerSecond} * static_cast<ULONGLONG>(elapsed);
}

// A landing that counts the bytes written through it.
class CountingLanding final : public Landing {
  public:
    explicit CountingLanding(Landing& inner) : m_inner(inner) {}
    BOOL Write(LPCVOID data, DWORD size) override {
        m_bytes += size;
        return m_inner.Write(data, size);
    }
    BOOL Commit() override { return m_inner.Commit(); }

    ULONGLONG m_bytes = 0;

  private:
    Landing& m_inner;
};

}  // namespace

bool CInternetSession::Resumes(const CString& server, INTERNET_PORT port) {
    const std::lock_guard<std::mutex> lock(m_noResumeMutex);
    return m_noResume.count(server + ":" + std::to_string(port)) == 0;
}

void CInternetSession::StopResuming(const CString& server, INTERNET_PORT port) {
    const std::lock_guard<std::mutex> lock(m_noResumeMutex);
    m_noResume.insert(server + ":" + std::to_string(port));
}

bool CFtpConnection::Transfer(const char* remotePath, DWORD transferFlags, DWORD_PTR context,
                              const net::ReceiveLimits& limits, std::unique_ptr<Landing>& landing,
                              const std::function<std::unique_ptr<Landing>()>& begin,
                              net::IReceiveCheck* check) {
    net::Received received;
    // Until the file proves otherwise, a try goes on where the last one was cut off.
    bool resumes = m_pSession == nullptr || m_pSession->Resumes(m_strServer, m_nPort);
    bool pieced = false;     // the landing holds the bytes of more than one try
    bool refetched = false;  // a pieced file the check refused was fetched from 0 once more
    ULONGLONG furthest = 0;  // the most bytes the landing held after any try
    // The file from its first byte again: a new temporary file, the check started over.
    auto startOver = [&] {
        received = net::Received();
        pieced = false;
        landing.reset();
        landing = begin();
        if (!landing) return false;
        if (check != nullptr && !check->Restart()) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return false;
        }
        return true;
    };
    // A control connection whose transfer was given up cannot go on.
    auto loginAgain = [&] {
        m_bSpent = true;
        return ReadyForTransfer();
    };
    // One fetch into the landing; arrived counts the bytes that came.
    ULONGLONG arrived = 0;
    auto receive = [&] {
        CountingLanding counted(*landing);
        pieced = pieced || received.bytes != 0;
        const bool whole = net::ReceiveFile(m_handle, remotePath, transferFlags, context, limits,
                                            counted, check, received);
        arrived += counted.m_bytes;
        return whole;
    };
    const Clock::time_point start = Clock::now();
    ULONGLONG arrivedAll = 0;
    for (unsigned spent = 0;;) {
        // Without a size announced or known to a check, nothing would tell the rest of this
        // file from a server that ignored REST and sent it all again; without the first try's
        // time, nothing would tell the server's file is still that one: such a file starts over.
        const bool sized = received.announced != ftp::kNoSizeAnnounced ||
                           (check != nullptr && check->Expected() != ftp::kNoSizeAnnounced);
        if (received.bytes != 0 && (!resumes || !sized || received.modified == ftp::kNoTimeTold) &&
            !startOver()) {
            return false;
        }
        const bool reused = m_bUsed;
        m_bUsed = true;
        arrived = 0;
        bool whole = receive();
        if (!whole && GetLastError() == ERROR_NOT_SUPPORTED &&
            received.noResume != net::NoResume::None) {
            const net::NoResume why = received.noResume;
            // A server that ignored a REST would again: it is not asked to resume any more.
            if (why != net::NoResume::Changed) resumes = false;
            if (why == net::NoResume::Ignored && m_pSession != nullptr) {
                m_pSession->StopResuming(m_strServer, m_nPort);
            }
            // A refused REST leaves the connection as it was; any other reason gave a transfer up.
            if ((why != net::NoResume::Refused && !loginAgain()) || !startOver()) return false;
            whole = receive();
        }
        arrivedAll += arrived;
        if (Ended(whole)) return true;
        const DWORD error = GetLastError();
        // A server that said it was busy has ended the control connection.
        if (received.refusal == kServiceNotAvailable) m_bSpent = true;
        // Moved forward: further than any try before (a file that starts over moves nowhere
        // until it passes where it had come).
        const bool counted = received.bytes <= furthest || !OnPace(start, arrivedAll, limits);
        furthest = std::max(furthest, received.bytes);
        if (counted) ++spent;
        // The release's own files have a time of their own on a server, whatever the tries.
        const bool late = limits.deadline && Clock::now() >= *limits.deadline;
        // A file pieced together from several tries that its check refused is fetched once more
        // from its first byte, within the same tries (that try counts).
        if (received.checkRefused && pieced && !refetched && !late &&
            spent + (counted ? 0 : 1) < kTries) {
            spent += counted ? 0 : 1;
            refetched = true;
            resumes = false;
            if (!startOver() || !loginAgain()) return false;
            continue;
        }
        if (spent >= kTries || late || !WorthAnotherTry(error, received, reused, arrived)) {
            SetLastError(error);
            return false;
        }
        if (!loginAgain()) return false;
    }
}
