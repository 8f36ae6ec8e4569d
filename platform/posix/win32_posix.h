// The Win32 functions this program calls, implemented on POSIX. Each group lives in a header
// of its own; the contracts are those of the Windows API, restricted to the arguments and
// results this program uses. Only platform/win32api.h includes this file.
#pragma once

#include "win32_types.h"
#include "win32_process.h"
#include "win32_registry.h"
#include "win32_files.h"
