// Process services: the last-error number, the process id, the raw command line, the module
// path and the temporary directory.
#pragma once

#include "win32_registry.h"  // SECURITY_ATTRIBUTES
#include "win32_types.h"

DWORD GetLastError();
void SetLastError(DWORD error);

DWORD GetCurrentProcessId();

// The raw command line as Windows would hand it over: the program path first, then each
// argument, separated by one blank; an argument that is empty or holds a blank or tab is
// quoted, with backslashes before a quote doubled as CommandLineToArgvW expects. Built once
// from the arguments given to PosixSetCommandLine (or from /proc/self/cmdline).
LPSTR GetCommandLineA();
void PosixSetCommandLine(int argc, char** argv);

// The executable's path in Windows form ("/usr/bin/kestrin" comes back as is). hModule must be
// null.
DWORD GetModuleFileNameA(HINSTANCE hModule, LPSTR lpFilename, DWORD nSize);

// The user's private temporary directory, its POSIX path followed by a backslash as on Windows
// (the path rules read a backslash as a separator like '/'). The directory is
// ${XDG_RUNTIME_DIR}/kestrin, else ${XDG_CACHE_HOME:-~/.cache}/kestrin/tmp (never a name in a
// shared directory), created with mode 0700, owned by the user and not a symbolic link;
// anything else makes the call fail (result 0).
// Returns the length written without the terminating zero, or the size needed (including the
// zero) when the buffer is too small, or 0 on failure, as on Windows.
DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);

// Process error mode: accepted and remembered; POSIX shows no critical-error boxes anyway.
UINT SetErrorMode(UINT uMode);
#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOOPENFILEERRORBOX 0x8000

// Named mutexes between the user's processes, for the few moments a read and a write of a
// setting must not interleave with another process's. Only a named mutex that is not initially
// owned; "Local\\" or "Global\\" before the name is accepted and ignored. WaitForSingleObject
// takes only such a mutex: WAIT_OBJECT_0 once this handle holds it (at once when it did already),
// WAIT_TIMEOUT when another holds it past dwMilliseconds (INFINITE: no limit). CloseHandle
// releases a mutex still held.
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL ReleaseMutex(HANDLE hMutex);
