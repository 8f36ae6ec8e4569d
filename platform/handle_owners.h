// Owners of the Win32 handles the program holds, on both systems: each closes its handle with
// the call the system names for it. A handle that failed to open (null, or
// INVALID_HANDLE_VALUE for files and searches) is never handed to an owner.
#pragma once

#include <memory>
#include <type_traits>

#include "platform/win32api.h"

namespace handles {

template <auto Close>
struct Closer {
    template <class Handle>
    void operator()(Handle handle) const {
        Close(handle);
    }
};

}  // namespace handles

// A file from CreateFileA.
using FileHandle = std::unique_ptr<void, handles::Closer<&CloseHandle>>;
// A search from FindFirstFileA.
using SearchHandle = std::unique_ptr<void, handles::Closer<&FindClose>>;
// A mutex from CreateMutexA.
using MutexHandle = std::unique_ptr<void, handles::Closer<&CloseHandle>>;
// A registry key from RegOpenKeyExA or RegCreateKeyExA.
using RegKey = std::unique_ptr<std::remove_pointer_t<HKEY>, handles::Closer<&RegCloseKey>>;
