// WinInet's FTP subset on libcurl. Opening a session sends nothing; InternetConnectA opens the
// control connection and logs in at once, so a handle means the account was accepted; every
// FtpGetFileA of a connection reuses that one control connection, in active mode, binary, with
// the remote path sent as given (no CWD walk). Failures leave a WinInet error number in
// GetLastError().
#pragma once

#include "win32_types.h"

#define INTERNET_OPEN_TYPE_PRECONFIG 0
#define INTERNET_OPEN_TYPE_DIRECT 1
#define INTERNET_INVALID_PORT_NUMBER 0
#define INTERNET_DEFAULT_FTP_PORT 21
#define INTERNET_SERVICE_FTP 1
#define INTERNET_FLAG_PASSIVE 0x08000000
#define FTP_TRANSFER_TYPE_ASCII 0x00000001
#define FTP_TRANSFER_TYPE_BINARY 0x00000002
#define INTERNET_OPTION_CONNECT_TIMEOUT 2
#define INTERNET_OPTION_SEND_TIMEOUT 5
#define INTERNET_OPTION_RECEIVE_TIMEOUT 6
#define INTERNET_OPTION_DATA_SEND_TIMEOUT 7
#define INTERNET_OPTION_DATA_RECEIVE_TIMEOUT 8

#define INTERNET_ERROR_BASE 12000
#define ERROR_INTERNET_OUT_OF_HANDLES 12001
#define ERROR_INTERNET_TIMEOUT 12002
#define ERROR_INTERNET_EXTENDED_ERROR 12003
#define ERROR_INTERNET_INTERNAL_ERROR 12004
#define ERROR_INTERNET_INVALID_URL 12005
#define ERROR_INTERNET_NAME_NOT_RESOLVED 12007
#define ERROR_INTERNET_INCORRECT_USER_NAME 12013
#define ERROR_INTERNET_INCORRECT_PASSWORD 12014
#define ERROR_INTERNET_LOGIN_FAILURE 12015
#define ERROR_INTERNET_INVALID_OPERATION 12016
#define ERROR_INTERNET_OPERATION_CANCELLED 12017
#define ERROR_INTERNET_INCORRECT_HANDLE_TYPE 12018
#define ERROR_INTERNET_CONNECTION_ABORTED 12030
#define ERROR_INTERNET_CONNECTION_RESET 12031
#define ERROR_INTERNET_CANNOT_CONNECT 12029
#define ERROR_FTP_TRANSFER_IN_PROGRESS 12110
#define ERROR_FTP_DROPPED 12111

HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                        LPCSTR lpszProxyBypass, DWORD dwFlags);
HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                           LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService,
                           DWORD dwFlags, DWORD_PTR dwContext);
BOOL FtpGetFileA(HINTERNET hConnect, LPCSTR lpszRemoteFile, LPCSTR lpszNewFile,
                 BOOL fFailIfExists, DWORD dwFlagsAndAttributes, DWORD dwFlags,
                 DWORD_PTR dwContext);
BOOL InternetCloseHandle(HINTERNET hInternet);
// Time-outs in milliseconds (a DWORD buffer), on a session handle (inherited by connections
// made later) or a connection handle.
BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                        DWORD dwBufferLength);
