// A dialog window of the FLTK front end, built from a template: its controls, keys, window
// menu, icons and painting, and the messages it delivers to the dialog.
// Quirks: input that arrives while a handler runs is dropped, not replayed afterwards; until
// the window is first mapped its window rectangle is its client rectangle.
#pragma once

#include <FL/Fl_Double_Window.H>

#include <string>
#include <vector>

#include "framework/dialog_template.h"
#include "framework/frontend.h"
#include "frontends/fltk/widgets.h"

namespace fltk_frontend {

// What the dialog windows of one front end share: the icons it loaded, and how many handlers
// are under way in any of its windows.
struct WindowsShared {
    IconCache icons;
    int handlersUnderWay = 0;
    FramePacer pacer;  // paces the painting of the changes a handler makes
};

class DialogWindow : public Fl_Double_Window, public IDialogWindow, public FocusKeeper {
  public:
    // Whether every control of the template is of a class this front end builds; the window
    // system refuses to create a dialog with any other.
    static bool CanBuild(const DialogTemplate& tmpl);

    DialogWindow(WindowsShared& shared, CDialog& dialog, const DialogTemplate& tmpl,
                 DialogWindow* owner);
    ~DialogWindow() override = default;

    // IDialogWindow
    void SetItemText(int id, const CString& text) override;
    CString GetItemText(int id) const override;
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) const override;
    LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsVisible() const override;
    void Show(bool show) override;
    bool IsEnabled() const override { return m_bEnabled; }
    void Enable(bool enable) override { m_bEnabled = enable; }
    bool IsActive() const override;
    void Activate() override;
    bool IsIconic() const override;
    bool IsChild() const override { return false; }
    RECT GetWindowRect() const override;
    RECT GetClientRect() const override { return RECT{0, 0, w(), h()}; }
    void MoveTo(int left, int top) override;
    bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) override;
    void SetIcon(int which, HICON icon) override;
    void PaintIconic(HICON icon, int x, int y) override;
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // FocusKeeper
    void RememberFocus(Fl_Widget* widget) override { m_pLastFocus = widget; }

    // Delivers a message to the dialog, with the window system's default handling when the
    // dialog leaves it. Input that arrives meanwhile is dropped, not replayed afterwards.
    LRESULT Deliver(UINT message, WPARAM wParam, LPARAM lParam);
    bool TakesInput() const { return m_nBusy == 0 && m_bEnabled; }
    // The keys a dialog takes before its controls see them; true when the key was used.
    bool PreTranslateKey();
    // After WM_INITDIALOG asked for it: the focus goes to the first tab stop.
    void FocusFirstTabStop();

    int handle(int event) override;
    void draw() override;

  private:
    enum class Kind { Button, Text, Icon, Progress };
    struct Control {
        int id;
        Kind kind;
        Fl_Widget* widget;  // owned by the window, as FLTK's groups own their children
        CString text;
    };
    struct MenuEntry {
        bool separator;
        UINT command;
        std::string text;
    };

    void AddControl(const DialogControl& control);
    Control* Find(int id);
    const Control* Find(int id) const;
    void PressDefault();
    void ShowWindowMenu(int x, int y);
    void ApplyIcons();
    // Paints pending changes now, even while a handler keeps the event loop from running.
    void Refresh();

    WindowsShared& m_shared;
    CDialog& m_dialog;
    const DialogTemplate& m_template;
    Fl_Font m_font;
    int m_nFontSize;
    std::vector<Control> m_controls;
    std::vector<MenuEntry> m_menu;
    IconImages* m_pBigIcon = nullptr;
    IconImages* m_pSmallIcon = nullptr;
    Fl_Widget* m_pLastFocus = nullptr;
    bool m_bEnabled = true;
    int m_nBusy = 0;
    bool m_bPainting = false;
    bool m_bIconicPaint = false;
};

}  // namespace fltk_frontend
