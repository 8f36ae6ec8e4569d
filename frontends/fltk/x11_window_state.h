// The X11 side of a window that FLTK 1.3 does not report or set, with raw Xlib calls.
// Supports: whether a window exists on the display, is minimised (the window manager's
// WM_STATE) or holds the input focus; raising and focusing it; the frame the window manager
// put around it; reading what the display has sent so far; opening the display.
// Quirks: the frame belongs to the window manager, so a window not yet mapped has none; only a
// viewable window can take the input focus.
#pragma once

class Fl_Window;

namespace fltk_frontend {

// Whether the window exists on the display (shown, perhaps minimised).
bool IsMapped(const Fl_Window& window);
bool IsIconic(const Fl_Window& window);
bool HasInputFocus(const Fl_Window& window);
// Raises a shown window and gives it the input focus when it is viewable.
void RaiseAndFocus(const Fl_Window& window);

// Where the client area sits inside the frame: the side border's width (the bottom border has
// the same), and the title bar with the top border. Zero before the window is mapped.
struct FrameOffsets {
    int left = 0;
    int top = 0;
};
FrameOffsets FrameOf(Fl_Window& window);

// Reads every event the display has sent so far and lets FLTK dispatch it.
void ReadPendingEvents();
// Sends what was drawn outside FLTK's own painting.
void FlushDisplay();
// Opens the display for FLTK unless it is open already; false when none can be opened. FLTK
// keeps the connection until the process ends.
bool OpenDisplay();

}  // namespace fltk_frontend
