// The raw Xlib calls of the FLTK front end (see x11_window_state.h). Xlib's macros (Bool,
// Status, None) stay in this file.
#include "frontends/fltk/x11_window_state.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>

#include <memory>

namespace fltk_frontend {

namespace {

struct XFreeDeleter {
    void operator()(unsigned char* data) const {
        if (data != nullptr) XFree(data);
    }
};

}  // namespace

bool IsMapped(const Fl_Window& window) {
    return fl_xid(&window) != 0;
}

bool IsIconic(const Fl_Window& window) {
    if (!IsMapped(window)) return false;
    Atom wmState = XInternAtom(fl_display, "WM_STATE", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(fl_display, fl_xid(&window), wmState, 0, 2, False, wmState, &type,
                           &format, &count, &after, &data) != Success) {
        return false;
    }
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    return data != nullptr && format == 32 && count >= 1 &&
           reinterpret_cast<const long*>(data)[0] == IconicState;
}

bool HasInputFocus(const Fl_Window& window) {
    if (!IsMapped(window)) return false;
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(fl_display, &focus, &revert);
    return focus == fl_xid(&window);
}

void RaiseAndFocus(const Fl_Window& window) {
    if (!IsMapped(window)) return;
    Window xid = fl_xid(&window);
    XRaiseWindow(fl_display, xid);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(fl_display, xid, &attributes) != 0 &&
        attributes.map_state == IsViewable) {
        XSetInputFocus(fl_display, xid, RevertToParent, CurrentTime);
    }
}

FrameOffsets FrameOf(Fl_Window& window) {
    FrameOffsets frame;
    if (!IsMapped(window)) return frame;
    // decorated_w/h ask the server for the frame's size.
    frame.left = (window.decorated_w() - window.w()) / 2;
    frame.top = window.decorated_h() - window.h() - frame.left;
    return frame;
}

void ReadPendingEvents() {
    XSync(fl_display, False);
    Fl::check();
}

void FlushDisplay() {
    XFlush(fl_display);
}

bool OpenDisplay() {
    if (fl_display != nullptr) return true;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    fl_open_display(display);
    return true;
}

}  // namespace fltk_frontend
