// WinInet's FTP subset on libcurl. Opening a session sends nothing; InternetConnectA opens the
// control connection and logs in at once, so a handle means the account was accepted; every
// download of a connection (platform/ftp_download.h) reuses that one control connection, in
// active mode, binary, with the remote path sent as given (no CWD walk). Failures leave a WinInet
// error number in GetLastError(). Every call is bounded in time: the connect time-out covers name
// resolution, the connection, the login and the server's connecting back for a transfer; the
// receive time-out covers each server reply and a transfer that stops moving. Both default to 60 s.
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
#define ERROR_INTERNET_INVALID_OPTION 12009
#define ERROR_INTERNET_BAD_OPTION_LENGTH 12010
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

// Access types: INTERNET_OPEN_TYPE_PRECONFIG takes the proxy from the environment as libcurl
// does (ftp_proxy, all_proxy, no_proxy); INTERNET_OPEN_TYPE_DIRECT uses none. Other access
// types, and dwFlags other than 0 (synchronous), fail with ERROR_INVALID_PARAMETER. The agent
// is kept but FTP never sends it.
HINTERNET InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy,
                        LPCSTR lpszProxyBypass, DWORD dwFlags);
// dwService must be INTERNET_SERVICE_FTP; INTERNET_FLAG_PASSIVE selects passive mode. A null
// user name logs in as "anonymous".
HINTERNET InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                           LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                           DWORD_PTR dwContext);
BOOL InternetCloseHandle(HINTERNET hInternet);
// INTERNET_OPTION_CONNECT_TIMEOUT and INTERNET_OPTION_RECEIVE_TIMEOUT in milliseconds (a DWORD
// buffer), on a session handle (inherited by connections made later) or a connection handle.
// 0 and 0xFFFFFFFF (no limit) are refused with ERROR_INVALID_PARAMETER: every call stays
// bounded.
BOOL InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength);
