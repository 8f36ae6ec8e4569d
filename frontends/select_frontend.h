#pragma once

#include <memory>

#include "framework/frontend.h"

// The window when a display can be opened, the terminal otherwise. KESTRIN_FRONTEND=terminal
// forces the terminal, =fltk the window (null, with a message, when no display opens).
std::unique_ptr<CFrontEnd> SelectFrontEnd();
