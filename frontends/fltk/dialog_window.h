// A dialog window of the FLTK front end, built from a template: its controls, keys, window
// menu, icons and painting, drawn from the framework's window model, and the messages it
// delivers to the dialog. Where the window is on the screen, whether it is mapped, minimised or
// active, is asked of the X server.
// Quirks: input that arrives while a handler runs is dropped, not replayed afterwards; until
// the window is first mapped its window rectangle is its client rectangle.
#pragma once

#include <FL/Fl_Double_Window.H>

#include <vector>

#include "framework/dialog_template.h"
#include "framework/frontend.h"
#include "framework/window_model.h"
#include "frontends/fltk/widgets.h"

namespace fltk_frontend {

// What the dialog windows of one front end share: the icons it loaded, and how many handlers
// are under way in any of its windows.
struct WindowsShared {
    IconCache icons;
    int handlersUnderWay = 0;
    // A run's pump is reading events: the busy window takes input again, which its dialog
    // filters (CDialog::IsRunning).
    bool pumping = false;
    FramePacer pacer;  // paces the painting of the changes a handler makes
};

class DialogWindow : public Fl_Double_Window, public CModelWindow, public FocusKeeper {
  public:
    // Whether every control of the template is of a class this front end builds; the window
    // system refuses to create a dialog with any other.
    static bool CanBuild(const DialogTemplate& tmpl);

    DialogWindow(WindowsShared& shared, CDialog& dialog, const DialogTemplate& tmpl,
                 DialogWindow* owner);
    ~DialogWindow() override = default;

    // What X knows of the window; painting.
    bool IsVisible() const override;
    void Show(bool show) override;
    bool IsActive() const override;
    void Activate() override;
    bool IsIconic() const override;
    RECT GetWindowRect() const override;
    void MoveTo(int left, int top) override;
    void PaintIconic(HICON icon, int x, int y) override;
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // FocusKeeper
    void RememberFocus(Fl_Widget* widget) override { m_pLastFocus = widget; }

    // Delivers a message to the dialog, with the window system's default handling when the
    // dialog leaves it. Input that arrives meanwhile is dropped, not replayed afterwards.
    LRESULT Deliver(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool TakesInput() const { return (m_nBusy == 0 || m_shared.pumping) && IsEnabled(); }
    // The keys a dialog takes before its controls see them; true when the key was used.
    bool PreTranslateKey();
    // After WM_INITDIALOG asked for it: the focus goes to the first tab stop.
    void FocusFirstTabStop();

    int handle(int event) override;
    void draw() override;

  protected:
    void Changed(Change what, int id, bool differs) override;

  private:
    enum class Kind { Button, Text, Icon, Progress };
    struct Control {
        int id;
        Kind kind;
        Fl_Widget* widget;  // owned by the window, as FLTK's groups own their children
    };

    void AddControl(const DialogControl& control);
    Control* Find(int id);
    void PressDefault();
    void ShowWindowMenu(int x, int y);
    void ApplyIcons();
    // Paints pending changes now, even while a handler keeps the event loop from running.
    void Refresh();

    WindowsShared& m_shared;
    Fl_Font m_font;
    int m_nFontSize;
    std::vector<Control> m_controls;
    Fl_Widget* m_pLastFocus = nullptr;
    int m_nBusy = 0;
    bool m_bPainting = false;
    bool m_bIconicPaint = false;
};

}  // namespace fltk_frontend
