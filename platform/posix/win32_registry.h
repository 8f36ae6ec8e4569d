// The per-user registry on a directory tree. HKEY_CURRENT_USER\Software is
// ${XDG_CONFIG_HOME:-~/.config}; a key is a directory and a value is a file holding the value's
// bytes. Names match without regard to case; a created key takes the case it was asked with.
// One trailing line feed (or CR LF) of a value file is not part of the value.
#pragma once

#include "win32_types.h"

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define READ_CONTROL 0x00020000L
#define KEY_READ (READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY)
#define KEY_WRITE (READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY)
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Results are ERROR_SUCCESS or a registry error number (ERROR_FILE_NOT_FOUND for a missing key
// or value, ERROR_ACCESS_DENIED when the tree may not be read or written, ERROR_INVALID_HANDLE
// for a bad key, ERROR_MORE_DATA when the buffer is too small).
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult);
LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes,
                        PHKEY phkResult, LPDWORD lpdwDisposition);
// Every value reads as REG_SZ holding the file's bytes (no terminating zero is added, as for
// a value stored without one).
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData);
// Stores a REG_SZ value: the text of lpData up to its first zero byte (cbData counts the
// terminating zero, as on Windows), in a file followed by one line feed. The file is replaced
// whole: a new one, private to the user (mode 0600), is written beside it, flushed to the disk
// and renamed over it, so that a reader sees the old value or the new one and never a part.
// Other types are refused (ERROR_INVALID_PARAMETER), as is an empty value name (the key's
// default value has no file).
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData);
LSTATUS RegCloseKey(HKEY hKey);

// The INI fallback: section and entry in a file of that name in the settings home.
DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                               LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);
