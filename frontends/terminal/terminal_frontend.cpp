// The terminal front end, used when no display can be opened (or KESTRIN_FRONTEND=terminal).
// Supports: both dialogs, message boxes, the buttons, the window menu's entries, the progress
// bar and the statics.
// On a terminal (standard input and output both) the dialog is drawn in place at the terminal's
// width, again whenever that changes, and keys act at once as in a dialog window: Enter presses
// the focused button (the default one until the focus moves), Escape closes, Tab, Shift+Tab and
// the arrows move the focus between the buttons, Space presses the focused one, a letter (alone
// or with Alt) presses the button whose access key it is ("&Update": u) or chooses such an
// entry of the window menu ("&About Kestrin...": a). A message box is drawn below the dialog,
// as wide as its text needs up to the terminal's width; Enter, Escape or Space answers it. A
// text too long for its line wraps at spaces, and a word longer than a line is broken. Keys
// pressed while a handler runs are dropped when it returns, and before a message box appears;
// the hint line shows only while keys are taken. With standard output a terminal and standard
// input not, the drawing is the same and the input is the commands below.
// Otherwise one line per visible change, for scripts:
//   dialog: <caption>        a dialog window appears
//   status: <text>           the status line changed
//   progress: <n>            the progress bar moved
//   caption: <caption>       a message box appears, with this caption...
//   message: <text>          ...and this text
// In these texts a line break is written as the two characters \n, any other control character
// (below 0x20, and 0x7F) as \x and two lower-case hex digits, and a backslash doubled where it
// would otherwise begin one of these (before n, x, a backslash or a control character); every
// other byte as it is. A terminal shows control characters the same way, and the C1 controls
// (0x80 to 0x9F) too, so that no text can move the cursor, retitle the window or clear it.
// Input, one line at a time: an empty line or "update" presses the default button, "about"
// chooses the window-menu entry whose label begins with "About" (whatever command the dialog
// gave it), "cancel", "close", Escape or the end of input closes the dialog. A message box
// waits for one line; the end of input acknowledges it. A line longer than kMaxLine bytes is
// refused as an unknown command and the rest of it, up to its line break, is read and dropped:
// an endless line costs no memory.
// While a handler runs, a change that comes within a frame of the last one shown is held back
// (FramePacer) and shown with the next one due, before the program waits on the server (Flush)
// or when input is read: the lines and their order stay the same, only fewer writes carry them.
// During a run (CDialog::IsRunning) the front end is pumped: the keys typed meanwhile act at once
// (the dialog takes only Escape and the Cancel button), a "cancel", "close" or Escape line that
// arrives while the run goes on ends it (lines that were there when it began wait for its end,
// as a script's do), and Ctrl+C or SIGTERM end the dialog as Cancel does; outside a run, and
// while a message box waits, those two end the program as ever.
// Quirks: nothing is shown of a dialog until its modal loop shows it, so the command-line
// modes print only their message boxes. Input from a pipe or file is a script and is kept
// whatever ran meanwhile. Widths are counted in bytes, so text in a multi-byte encoding wraps
// early. A caption longer than its box's top line is cut there.
// Files: this one (the choice of mode), terminal_modes.cpp (the modal loop and the commands),
// terminal_lines.cpp (line mode), terminal_screen.cpp (screen mode), terminal_window.cpp (a
// dialog's focus, keys and picture, drawn from the framework's window model), terminal_keys.cpp,
// terminal_text.cpp.
#include "frontends/terminal/terminal_frontend.h"

#include <unistd.h>

#include <iostream>

#include "frontends/terminal/terminal_modes.h"

std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd() {
    if (isatty(STDOUT_FILENO) == 0) return NewLineFrontEnd(LiveStandardInput(), stdout);
    std::unique_ptr<TerminalKeys> keys = TerminalKeys::Open(STDIN_FILENO);
    std::istream& lines = keys != nullptr ? std::cin : LiveStandardInput();
    return NewScreenFrontEnd(lines, stdout, std::move(keys));
}

std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd(std::istream& in, std::FILE* out, bool drawn) {
    return drawn ? NewScreenFrontEnd(in, out, nullptr) : NewLineFrontEnd(in, out);
}
