// Copies aside on Windows: a file that a running program or a loaded library maps can be
// renamed but neither replaced nor removed, so a landing or a removal renames it aside in its
// own directory, under a name that says which name it belongs to (Landing::AsideName), and it
// is removed once nothing holds it. A file held open without delete sharing can be neither
// renamed nor removed: nothing is done to it. Private to platform/win32.
#pragma once

#include <string>

#include "platform/win32api.h"

namespace aside {

// Whether a replace or a removal that failed with error may have met a file in use.
bool MayBeInUse(DWORD error);

// Renames the regular file leaf in directory (a "\\?\" path) aside under a free name: one
// that names leaf when the name is to be given back should this process end before a new copy
// takes it (a landing), else a temporary name, which the sweep removes and never gives back (a
// removal). The path of the copy aside, or empty with the last error set when the file was left
// where it was.
std::wstring MoveAside(const std::wstring& directory, const std::wstring& leaf, bool keepName);

// Renames the copy aside back to path, which must be free; false with the last error.
bool PutBack(const std::wstring& copy, const std::wstring& path);

// Removes the copy aside when nothing holds it (read-only or not); false when it stays.
bool Discard(const std::wstring& copy);

// What the sweep does with the copy aside `name` found in directory: a copy whose name is
// missing (a run was killed between its renames) is put back, any other is discarded.
void Sweep(const std::wstring& directory, const std::wstring& name);

}  // namespace aside
