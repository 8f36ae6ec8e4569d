// The one header through which code above platform/ sees the Win32 API. On Windows it is the
// system's own; elsewhere it is our POSIX counterpart, which provides the subset this program
// calls with the same arguments, results and GetLastError() numbers.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#else
#include "posix/win32_posix.h"
#endif
