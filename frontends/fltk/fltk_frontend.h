// The FLTK front end: the program's dialogs as windows on an X display.
#pragma once

#include <memory>

#include "framework/frontend.h"

// The window front end, or null when no display can be opened. Once opened, the display stays
// open for the life of the process (FLTK keeps it), so later calls reuse it.
std::unique_ptr<CFrontEnd> CreateFltkFrontEnd();
