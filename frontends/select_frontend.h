// The front end the program starts with; one implementation per system, chosen by the build.
#pragma once

#include <memory>

#include "framework/frontend.h"

// On POSIX: the window when a display can be opened, the terminal otherwise;
// KESTRIN_FRONTEND=terminal forces the terminal, =fltk the window (null, with a message, when no
// display opens). On Windows: the Win32 front end.
std::unique_ptr<CFrontEnd> SelectFrontEnd();
