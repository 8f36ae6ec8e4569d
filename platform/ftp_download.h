// One FTP download read piece by piece, the same on both systems: what the program's receive
// loop (net/) reads a transfer through, so that it sees every byte as it arrives, bounds each
// wait, and learns what the server announced and how the transfer ended. WinInet's own
// FtpGetFileA gives none of that, and its FtpOpenFileA and InternetReadFile cannot stand for
// it as they are: Wine's WinInet answers 0 to FtpGetFileSize, ignores the receive time-out on
// FTP data and does not end a read whose handle is closed. Each system therefore opens, reads
// and ends a download its own way behind these calls.
#pragma once

#include "platform/win32api.h"

// A download in progress, from FtpOpenDownload; FtpCloseDownload ends it.
typedef struct FtpDownload__* HFTPDOWNLOAD;

// What FtpOpenDownload reports when the server announced no size.
constexpr ULONGLONG kNoSizeAnnounced = ~0ULL;

// Asks the server over an FTP connection (from InternetConnectA) for the size of remotePath
// (SIZE) and then for the file (RETR), binary unless flags ask for FTP_TRANSFER_TYPE_ASCII, and
// returns once the server has accepted the RETR, waiting at most timeoutMs. Null with
// GetLastError() when the server refused, the connection failed or the time ran out
// (ERROR_INTERNET_TIMEOUT). *announced receives the size the server announced: its SIZE reply,
// else the "(N bytes)" of its 125 or 150 reply, else kNoSizeAnnounced.
HFTPDOWNLOAD FtpOpenDownload(HINTERNET hConnect, LPCSTR remotePath, DWORD flags, DWORD_PTR context,
                             DWORD timeoutMs, ULONGLONG* announced);

// Reads what has arrived, up to size bytes, waiting at most timeoutMs for the first of them:
// TRUE with *read above 0; TRUE with *read 0 once the data has ended; FALSE with
// ERROR_INTERNET_TIMEOUT when nothing came in time (the download can still be read on), or with
// another error when the transfer broke.
BOOL FtpReadDownload(HFTPDOWNLOAD download, LPVOID buffer, DWORD size, LPDWORD read,
                     DWORD timeoutMs);

// Ends the download, aborting it when its data has not ended, and frees it, waiting at most
// timeoutMs for the server's last reply about the transfer. Returns that reply's code: 226 or
// 250 when the server confirmed the transfer complete, 400 or more when it reported a failure,
// 0 when no such reply was seen (aborted, dropped, or not shown by the system's library).
DWORD FtpCloseDownload(HFTPDOWNLOAD download, DWORD timeoutMs);
