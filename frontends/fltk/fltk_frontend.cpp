// The FLTK front end (FLTK 1.3 on X11): the dialogs as real windows.
// Supports:
//  - Dialog windows built from the resource templates, dialog units converted at base units
//    6 × 13 (8-point "MS Sans Serif"), rounded as the window system rounds them; text in the
//    template's face as fontconfig resolves it. Controls: push buttons (BS_DEFPUSHBUTTON marks
//    the default one), text statics (left, centred or right, SS_SUNKEN, SS_NOPREFIX shows "&"
//    as is; elsewhere "&x" underlines the access key and "&&" is one "&"), SS_ICON statics,
//    progress bars (PBM_SETPOS on 0 to 100, drawn smooth). An unknown control class makes
//    the window impossible to create, as on the window system.
//  - Keys as a dialog takes them: Return presses the focused push button, else the default one
//    (nothing when that one is disabled); Escape is IDCANCEL; Tab and Shift+Tab move between the
//    tab stops; Space or a button's access key presses it.
//  - The window menu, opened with Alt+Space or a right-click: "Close" (SC_CLOSE) and, after a
//    separator, the entries appended with AppendSystemMenu. The close box is SC_CLOSE too.
//  - Message boxes: a modal window of our own with the style's icon (information, stop,
//    exclamation, question) and one OK button; Return, Escape, Space and the close box answer it.
//  - Window icons (32 × 32 and 16 × 16) and SS_ICON pictures from the icon pixels.
//  - Long handlers: every text, enable and progress change is painted at once, unless it comes
//    within a frame of the last one painted (FramePacer): it is then painted with a later one,
//    by Flush, or when the front end waits for events; input given
//    while a handler runs is read and dropped when it returns, and also before a message box
//    or a dialog opened inside the handler appears, so a key typed ahead cannot answer a box
//    the user has not seen.
//  - Runs (CDialog::IsRunning): their pump reads the events as they come, so the window is
//    painted when uncovered and Cancel, Escape, the close box, Ctrl+C and SIGTERM stop the run;
//    the dialog drops any other input.
// Quirks:
//  - FLTK cannot paint a minimised window. IsIconic reads the window manager's WM_STATE;
//    PaintIconic draws the icon into the window's own surface when asked, which the window
//    manager never shows while the window is iconic: its own icon (ours) is what is seen.
//    WM_QUERYDRAGICON is never sent: no window manager asks a client for a drag image.
//  - Texts are the program's 8-bit text. FLTK reads them as UTF-8 and shows any byte that is
//    not valid UTF-8 as code page 1252, which is what such texts are on the window system.
//  - The frame belongs to the window manager: until a window is first mapped its window
//    rectangle is its client rectangle, so centring a window not yet shown ignores its frame.
//  - Disabling the focused control leaves no control with the focus, as on the window system;
//    enabling it again gives it the focus back when nothing else took it meanwhile.
//  - A disabled window keeps its look; it only stops taking input.
//  - No F1 help, no Move entry in the window menu, no window menu on message boxes; other
//    button styles than push buttons are drawn as push buttons.
//
// Files: widgets.cpp (the controls), dialog_window.cpp (a dialog's window), message_box.cpp,
// x11_window_state.cpp (the raw Xlib calls); this one is the front end itself.
#include "frontends/fltk/fltk_frontend.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>

#include <optional>

#include "framework/dialog.h"
#include "frontends/stop_signals_posix.h"
#include "framework/dialog_template.h"
#include "framework/model_frontend.h"
#include "frontends/fltk/dialog_window.h"
#include "frontends/fltk/message_box.h"
#include "frontends/fltk/widgets.h"
#include "frontends/fltk/x11_window_state.h"

namespace fltk_frontend {

namespace {

class FltkFrontEnd : public CModelFrontEnd {
  public:
    FltkFrontEnd();
    ~FltkFrontEnd() override;
    FltkFrontEnd(const FltkFrontEnd&) = delete;
    FltkFrontEnd& operator=(const FltkFrontEnd&) = delete;

    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override;
    void RunBegins() override { m_stopSignals.emplace(); }
    void RunEnds() override { m_stopSignals.reset(); }
    // Reads the events that came without waiting: exposed windows are painted, and the input is
    // delivered (the running dialog takes only what ends it). Ctrl+C in the starting terminal
    // and SIGTERM end the dialog as Cancel does.
    void Pump(IDialogWindow& window) override {
        if (StopSignals::Take()) return static_cast<DialogWindow&>(window).Click(IDCANCEL);
        m_windows.pumping = true;
        Fl::check();
        m_windows.pumping = false;
    }
    void Flush() override {
        if (m_windows.pacer.TakeHeld()) Fl::flush();
    }
    int MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                   UINT style) override;
    HICON LoadIcon(int iconId) override { return m_windows.icons.Load(iconId); }
    RECT GetWorkArea(const IDialogWindow* window) override;

  protected:
    std::unique_ptr<CModelWindow> NewWindow(CDialog& dialog, const DialogTemplate& tmpl,
                                            IDialogWindow* owner) override;
    void Initialised(CModelWindow& window, LRESULT result) override;

  private:
    static int Dispatch(int event, Fl_Window* window);
    // Keys typed ahead while a handler ran are not for a window or box that it opens.
    void DropTypedAhead() {
        if (m_windows.handlersUnderWay > 0) ReadPendingEvents();
    }

    WindowsShared m_windows;
    Fl_Event_Dispatch m_pPreviousDispatch = nullptr;
    std::optional<StopSignals> m_stopSignals;
};

FltkFrontEnd::FltkFrontEnd() {
    RegisterTextLabel();
    m_pPreviousDispatch = Fl::event_dispatch();
    Fl::event_dispatch(&FltkFrontEnd::Dispatch);
}

FltkFrontEnd::~FltkFrontEnd() {
    Fl::event_dispatch(m_pPreviousDispatch);
}

bool IsInputEvent(int event) {
    switch (event) {
        case FL_PUSH:
        case FL_RELEASE:
        case FL_DRAG:
        case FL_MOUSEWHEEL:
        case FL_KEYDOWN:
        case FL_KEYUP:
        case FL_SHORTCUT:
        case FL_CLOSE:
        case FL_PASTE:
        case FL_DND_ENTER:
        case FL_DND_DRAG:
        case FL_DND_LEAVE:
        case FL_DND_RELEASE:
            return true;
        default:
            return false;
    }
}

// Every event passes here first: a dialog window that is disabled or whose handler is under way
// drops its input, and dialog keys are taken before the controls see them. While a popup menu
// holds the grab, everything is the menu's.
int FltkFrontEnd::Dispatch(int event, Fl_Window* window) {
    if (window != nullptr && Fl::grab() == nullptr) {
        // With a modal window up, the keyboard belongs to it.
        Fl_Window* target = Fl::modal() != nullptr ? Fl::modal() : window;
        if (auto* dialog = dynamic_cast<DialogWindow*>(target)) {
            if (IsInputEvent(event) && !dialog->TakesInput()) return 1;
            if (event == FL_KEYDOWN && dialog->PreTranslateKey()) return 1;
        }
    }
    return Fl::handle_(event, window);
}

std::unique_ptr<CModelWindow> FltkFrontEnd::NewWindow(CDialog& dialog, const DialogTemplate& tmpl,
                                                      IDialogWindow* owner) {
    if (!DialogWindow::CanBuild(tmpl)) return nullptr;
    return std::make_unique<DialogWindow>(m_windows, dialog, tmpl,
                                          dynamic_cast<DialogWindow*>(owner));
}

void FltkFrontEnd::Initialised(CModelWindow& window, LRESULT result) {
    if (result != 0) static_cast<DialogWindow&>(window).FocusFirstTabStop();
    // A dialog ended during its initialisation is never shown.
    const bool visible = (window.Model().Template().style & dlgstyle::kVisible) != 0;
    if (visible && !window.Dialog().IsEnded()) window.Show(true);
}

void FltkFrontEnd::RunModalLoop(CDialog& dialog, IDialogWindow& window) {
    DropTypedAhead();
    if (!window.IsVisible()) window.Show(true);
    while (!dialog.IsEnded()) {
        // Fl::wait() is 0 once no window is shown: nothing could end the dialog any more.
        if (Fl::wait() == 0 && !dialog.IsEnded()) dialog.EndDialog(IDCANCEL);
    }
}

int FltkFrontEnd::MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                             UINT style) {
    DropTypedAhead();
    const StopSignalsPaused paused(m_stopSignals);
    return RunMessageBox(owner, GetWorkArea(owner), text, caption, style);
}

RECT FltkFrontEnd::GetWorkArea(const IDialogWindow* window) {
    int screen = 0;
    if (auto* dialog = dynamic_cast<const DialogWindow*>(window)) {
        screen = Fl::screen_num(dialog->x() + dialog->w() / 2, dialog->y() + dialog->h() / 2);
    }
    int x = 0, y = 0, w = 0, h = 0;
    Fl::screen_work_area(x, y, w, h, screen);
    return RECT{x, y, x + w, y + h};
}

}  // namespace

}  // namespace fltk_frontend

std::unique_ptr<CFrontEnd> CreateFltkFrontEnd() {
    if (!fltk_frontend::OpenDisplay()) return nullptr;
    // The class of every window (WM_CLASS): what the desktop entry's StartupWMClass names, so
    // that a dock matches the window to the entry.
    Fl_Window::default_xclass("kestrin");
    return std::make_unique<fltk_frontend::FltkFrontEnd>();
}
