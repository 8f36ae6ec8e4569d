// The FLTK front end's message boxes: a modal window of our own with the style's icon
// (information, stop, exclamation, question), the text and one OK button.
// Quirks: Return, Escape, Space and the close box answer it as OK does; it has no window menu;
// a text wider than three quarters of the work area is wrapped.
#pragma once

#include "framework/cstring.h"
#include "framework/frontend.h"

namespace fltk_frontend {

// Shows the box centred as a dialog is (over its owner when that is on the screen) and
// returns once it is answered: IDOK. The owner is active again afterwards.
int RunMessageBox(IDialogWindow* owner, const RECT& workArea, const CString& text,
                  const CString& caption, UINT style);

}  // namespace fltk_frontend
