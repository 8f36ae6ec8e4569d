// The Win32 front end: the program's dialogs are real Windows dialogs built from the templates
// in the executable's resources, and their messages reach the framework's message maps.
#pragma once

#include <memory>

#include "framework/frontend.h"

// Creates the front end; the common controls (the progress bar's class) are registered here,
// before any dialog exists.
std::unique_ptr<CFrontEnd> CreateWin32FrontEnd();

// The window handle behind a dialog window made by this front end (null for any other).
HWND Win32WindowHandle(const IDialogWindow* window);
