// The window system behind the framework. The framework keeps each dialog window's state once
// (CWindowModel); a front end draws it, carries out the few requests that only a window system
// can (message boxes, the modal loop), and turns input into the dialog's messages: init, a
// command from a control, a system command, close. CModelWindow (window_model.h) and
// CModelFrontEnd (model_frontend.h) give every request a default, so that a front end
// overrides only what it has to add, as the Win32 one does where the real window keeps its own
// state. Implementations, one folder each under frontends/: win32, fltk, terminal, and
// recording (the tests' dummy driver).
//
// Every front end shows each text and progress change while a handler runs, however long it
// runs, paced by a FramePacer. Those that take input from a person (Win32, FLTK, the terminal
// drawn with keys) drop what was typed or clicked while a handler ran instead of replaying it
// afterwards. Input that is a script is kept whatever ran meanwhile: the lines the terminal
// reads (in line mode, or from a standard input that is no terminal), and the recording front
// end's actions.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "cstring.h"
#include "dialog_template.h"
#include "platform/win32api.h"

class CDialog;

// A dialog's window as the dialog sees it: requests on its controls and on the window itself.
// Front ends implement it through CModelWindow (window_model.h), which gives every request a
// default.
class IDialogWindow {
  public:
    virtual ~IDialogWindow() = default;

    // Controls, by id.
    virtual void SetItemText(int id, const CString& text) = 0;
    virtual CString GetItemText(int id) const = 0;
    virtual void EnableItem(int id, bool enable) = 0;
    virtual bool IsItemEnabled(int id) const = 0;
    // A control message; the front ends understand PBM_SETPOS (result: the previous position).
    virtual LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) = 0;

    // The window itself.
    virtual bool IsVisible() const = 0;
    virtual void Show(bool show) = 0;
    virtual bool IsEnabled() const = 0;
    virtual void Enable(bool enable) = 0;
    virtual bool IsActive() const { return IsVisible(); }
    virtual void Activate() {}
    virtual bool IsIconic() const { return false; }
    virtual bool IsChild() const { return false; }
    // Screen rectangle of the whole window, and its client rectangle (left and top 0).
    virtual RECT GetWindowRect() const = 0;
    virtual RECT GetClientRect() const = 0;
    virtual void MoveTo(int left, int top) = 0;

    // Appends to the window's system menu; false when the window has none.
    virtual bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) = 0;
    // WM_SETICON: which is ICON_BIG or ICON_SMALL.
    virtual void SetIcon(int which, HICON icon) = 0;
    // The minimised window's paint: begin painting, send WM_ICONERASEBKGND, draw the icon with
    // its top-left corner at (x, y) of the client area, end painting. Nothing where a window
    // cannot be minimised.
    virtual void PaintIconic(HICON, int, int) {}
    // What the window system does with a message the dialog left unhandled (WM_SYSCOMMAND:
    // move, close and the rest; WM_PAINT: the usual painting).
    virtual LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// The window system. Front ends implement it through CModelFrontEnd (model_frontend.h), which
// looks up templates and strings and builds the windows.
class CFrontEnd {
  public:
    virtual ~CFrontEnd() = default;

    // Whether a dialog template of this id exists.
    virtual bool HasTemplate(int templateId) const = 0;
    // Creates the dialog's window from the template, owned by owner (may be null), without
    // showing it unless the template says WS_VISIBLE, and delivers WM_INITDIALOG to the dialog
    // before returning (the dialog learns its window through CDialog::Attach first). Null when
    // the window cannot be created.
    virtual std::unique_ptr<IDialogWindow> CreateDialogWindow(CDialog& dialog, int templateId,
                                                              IDialogWindow* owner) = 0;
    // Shows the window if it is not yet visible and delivers messages to the dialog until
    // dialog.IsEnded() (or until the window system can deliver nothing more, in which case the
    // front end ends the dialog with IDCANCEL).
    virtual void RunModalLoop(CDialog& dialog, IDialogWindow& window) = 0;

    // Shows at once every change still held back by the pacing of changes. A handler calls it
    // before it waits on anything but the user (a server, say), so that what it set before is
    // seen while it waits. Front ends show what they hold before they wait for input.
    virtual void Flush() {}

    // A run begins in a dialog's handler, or ends (CDialog::RunScope). A front end that turns
    // the system's requests to stop (an interrupt or termination signal) into the dialog's
    // Cancel does so between the two; without a run they end the program as before.
    virtual void RunBegins() {}
    virtual void RunEnds() {}
    // During a run, lets the window system do its work without waiting for anything: paint what
    // was uncovered, answer the system, and deliver what the user did to window's dialog (which
    // takes only what ends it: see CDialog::IsRunning). Input that is a script is left for after
    // the run, unless it arrived during the run and ends the dialog. Called on the window's
    // thread at least every CancelToken::kPollMs while the run goes on, and returns at once.
    virtual void Pump(IDialogWindow& window) { (void)window; }

    // A modal message box over owner (may be null); returns the button pressed (IDOK).
    virtual int MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                           UINT style) = 0;

    // Resources and system metrics. Without pictures, an icon's handle is its id: a distinct
    // non-null value per icon is all its users need; icons are 32 pixels square.
    virtual HICON LoadIcon(int iconId) {
        return reinterpret_cast<HICON>(static_cast<intptr_t>(iconId));
    }
    virtual CString LoadString(int stringId) = 0;
    virtual int GetSystemMetrics(int index) {
        return index == SM_CXICON || index == SM_CYICON ? 32 : 0;
    }
    // The work area of the screen that holds window (or of the main screen when null).
    virtual RECT GetWorkArea(const IDialogWindow*) { return RECT{0, 0, 1024, 768}; }
};

// Paces the showing of changes while a handler runs: a change a frame or more after the last one
// shown is shown at once, one that comes sooner is held back and shown with the next change that
// is due, by CFrontEnd::Flush, or before the front end waits for input. No picture that lasts
// less than a frame can be seen, and a run through a list of a hundred thousand unchanged
// entries would otherwise draw the window (or write a line) a hundred thousand times.
class FramePacer {
  public:
    static constexpr std::chrono::milliseconds kFrame{10};

    // Whether a change is to be shown now, which then counts as shown with every change held;
    // false holds it back.
    bool ShowNow();
    // Whether changes are held back; they count as shown from here on, the caller shows them.
    bool TakeHeld();

  private:
    std::chrono::steady_clock::time_point m_lastShown{};
    bool m_bHeld = false;
};

// The front end the framework uses; set once by the program's entry point (or by a test).
CFrontEnd& AfxFrontEnd();
void AfxSetFrontEnd(CFrontEnd* frontEnd);

// The top-left corner of a window of width × height centred over owner when the owner is on the
// screen (visible and not minimised), else over the work area, then pulled back inside the work
// area where it would stick out; a window larger than the work area keeps its left and top
// edges inside.
POINT CentredPosition(const IDialogWindow* owner, const RECT& workArea, LONG width, LONG height);
