// Removals on Windows: the file is walked to as a landing walks to its target, removed by its
// path (which removes a link itself, never what it leads to), renamed aside under a temporary
// name when it is in use (a copy aside that names it would be given back by the next sweep),
// and the directories it leaves empty go from the deepest up, each let go just before.
#include "aside.h"
#include "landing_walk.h"
#include "platform/landing.h"

namespace {

using landing_walk::FailWith;

// Removes the directories of walk below its root, from the deepest up, until one stays.
void RemoveEmptyDirectories(landing_walk::Walk& walk) {
    for (size_t i = walk.held.size() - 1; i > 0; --i) {
        walk.held[i].reset();
        if (!RemoveDirectoryW(walk.paths[i].c_str())) return;
    }
}

}  // namespace

BOOL Landing::Remove(LPCSTR root, LPCSTR name) {
    landing_walk::Walk walk;
    if (!landing_walk::WalkTo(root, name, false, walk)) return FALSE;
    const std::wstring target = walk.Target();
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    if (landing_walk::IsLink(attributes)) return FailWith(ERROR_CANT_RESOLVE_FILENAME, FALSE);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (!DeleteFileW(target.c_str())) {
        // A running program, a loaded library, or a read-only file.
        const DWORD error = GetLastError();
        if (!aside::MayBeInUse(error)) return FALSE;
        const std::wstring copy = aside::MoveAside(walk.Directory(), walk.leaf, false);
        if (copy.empty()) return FailWith(error, FALSE);
        aside::Discard(copy);
    }
    RemoveEmptyDirectories(walk);
    return TRUE;
}
