// The receive loop of every download, the same on both systems: the bytes of a transfer pass
// through it one piece at a time on their way into the temporary file of their landing. It
// counts them, holds them to the size the server announced and to a floor rate, and lands the
// file only when the transfer was whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "net/transfer_log.h"
#include "platform/ftp_transport.h"
#include "platform/win32api.h"

class Landing;

namespace net {

// The bounds a transfer is held to.
struct ReceiveLimits {
    // A transfer whose average falls below floorBytesPerSecond over a window of windowMs fails
    // as a stall does (ERROR_INTERNET_TIMEOUT): 1 KiB/s over 30 s, the window shortened to the
    // receive time-out when that is shorter. Each window is judged on its own, so a transfer
    // never ends later than a window after it fell below the floor.
    DWORD floorBytesPerSecond = 1024;
    DWORD windowMs = 30000;
    // How long the server may take to accept the transfer (the connect and receive time-outs).
    DWORD openTimeoutMs = 120000;
    // The most a file may hold: 1 GiB, several times the largest file the product ships. One
    // announced larger fails before a byte is written, one not announced once it holds more
    // (ERROR_FILE_TOO_LARGE).
    ULONGLONG maxBytes = ULONGLONG{1} << 30;
    // When the transfer must have ended, every wait on the server included: a transfer still
    // under way then fails as a stall does (ERROR_INTERNET_TIMEOUT), also while bytes keep
    // coming. None: no such bound.
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

// What may look at each piece of a transfer as it arrives and refuse the landing: where a check
// of the content (the digest of a signed release) plugs in.
class IReceiveCheck {
  public:
    virtual ~IReceiveCheck() = default;
    // The size the server announced, before any byte arrives: false refuses the transfer at
    // once (ERROR_FILE_TOO_LARGE: more than the file may hold).
    virtual bool Admits(ULONGLONG announced) {
        (void)announced;
        return true;
    }
    // Each piece, in order, as it arrives and before it is written: false refuses the transfer
    // at once (the content can no longer be the one expected), and the piece is not written.
    virtual bool Take(const void* data, std::size_t size) = 0;
    // Once the transfer is whole, before the landing: false keeps the old copy.
    virtual bool Accept(ULONGLONG totalBytes) = 0;
    // The transfer starts over from its first byte (the server could not go on where it was
    // cut off): everything taken so far is forgotten. False when the check cannot start over:
    // the file then fails.
    virtual bool Restart() { return false; }
    // The size the content must have when the check knows it (and holds the transfer to it in
    // Take and Accept), so that the server need not be asked; else ftp::kNoSizeAnnounced.
    virtual ULONGLONG Expected() const { return ftp::kNoSizeAnnounced; }
};

// Why a try could not go on where the file was cut off (it failed with ERROR_NOT_SUPPORTED,
// nothing of it taken): the server refused the REST, ignored it (it sent more than the rest, or
// its 125 or 150 reply counted the whole file), or the file is not the one partly received (its
// size or modification time differs from the first try's, or the server cannot tell the time).
enum class NoResume { None, Refused, Ignored, Changed };

// How far a file has come over the tries of it so far: a try that was cut off leaves its bytes
// in the landing, and the next one asks for the rest.
struct Received {
    // In the landing, each one taken by the check: where the next try starts.
    ULONGLONG bytes = 0;
    // The whole file's size as first announced, kNoSizeAnnounced while none was.
    ULONGLONG announced = ftp::kNoSizeAnnounced;
    // The file's modification time as the try from its first byte was told it; kNoTimeTold when
    // it was not (the file then cannot be resumed).
    ULONGLONG modified = ftp::kNoTimeTold;
    // The code of the server's reply that refused the last try's fetch (421 when it was busy),
    // 0 when none did.
    DWORD refusal = 0;
    NoResume noResume = NoResume::None;  // of the last try
    bool checkRefused = false;           // the last try failed on the check's refusal
};

// Fetches remotePath over an FTP connection into landing and commits it, in ASCII mode when
// transferFlags say FTP_TRANSFER_TYPE_ASCII, else binary (context is the caller's and unused). The
// transfer is whole only when its byte count equals every size the server announced, and, when it
// announced none, when the server confirmed the transfer (226 or 250); a reply that reports a
// failure fails it either way. False with GetLastError() otherwise, the landing not committed:
// ERROR_INVALID_DATA for a byte count that differs from the announced size (or content the
// check refused), ERROR_FILE_TOO_LARGE beyond limits.maxBytes or what the check admits,
// ERROR_INTERNET_TIMEOUT below the floor rate, ERROR_INTERNET_CONNECTION_ABORTED when the
// server never confirmed, or the error of the transfer or the landing.
bool ReceiveFile(ftp::Connection& connection, const char* remotePath, DWORD transferFlags,
                 DWORD_PTR context, const ReceiveLimits& limits, Landing& landing,
                 IReceiveCheck* check);

// One try of a file that may have come part of the way already: asks for what follows
// received.bytes (the landing and the check hold those), and counts what this try adds into
// received whether it ends whole or not. The byte counts and bounds above are the whole file's.
// A try from the first byte asks the file's modification time unless the caller knows the file
// to be too small to be worth resuming; a try at an offset asks the size and the time before its
// REST and goes on only when both are the first try's. A transfer cut off before its announced
// size without the server's confirmation fails with ERROR_INTERNET_CONNECTION_ABORTED; a try
// that cannot go on where the file was cut off, with ERROR_NOT_SUPPORTED (received.noResume
// says why; nothing taken).
bool ReceiveFile(ftp::Connection& connection, const char* remotePath, DWORD transferFlags,
                 DWORD_PTR context, const ReceiveLimits& limits, Landing& landing,
                 IReceiveCheck* check, Received& received);

}  // namespace net
