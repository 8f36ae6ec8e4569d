// What a download does after renaming its finished file into place.
#pragma once

#include "platform/win32api.h"

// Makes the file just renamed to fileName count as created now, so that a later comparison of
// its creation time with a listed date sees a fresh copy. Windows can give a file that takes
// the name of one it replaced the old file's creation time (tunnelling), so it is set again
// here. FALSE with GetLastError() when the file cannot be reached.
BOOL MarkFileLanded(LPCSTR fileName);
