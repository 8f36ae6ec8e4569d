// The state of one dialog window as the framework keeps it, whichever front end shows it: the
// template it was built from, each control's text, enabled flag, visibility and progress
// position, the window's system menu, icons, rectangles and flags. A front end draws from it.
// The rules that belong to the window system rather than to one front end are kept here once:
// a progress bar holds its position in 0 to 100, only a window whose template says WS_SYSMENU
// has a system menu, a new window is as large as its template.
#pragma once

#include <vector>

#include "cstring.h"
#include "dialog_template.h"
#include "frontend.h"
#include "platform/win32api.h"

struct ControlState {
    const DialogControl* control;  // its line of the template
    CString text;
    bool enabled;
    bool visible;
    int position = 0;  // a progress bar's, 0 to 100
};

struct MenuEntry {
    bool separator;
    UINT command;
    CString text;
};

class CWindowModel {
  public:
    explicit CWindowModel(const DialogTemplate& tmpl);

    const DialogTemplate& Template() const { return *m_pTemplate; }
    // The controls in the template's order; Find gives the first of that id, null when none.
    const std::vector<ControlState>& Controls() const { return m_controls; }
    ControlState* Find(int id);
    const ControlState* Find(int id) const;

    // PBM_SETPOS: the position held in 0 to 100; previous is the one before. Only a progress bar
    // takes it: false, and previous 0, for any other control.
    bool SetPosition(int id, int position, int* previous);

    // False, and nothing kept, when the window has no system menu.
    bool AppendMenu(UINT flags, UINT command, const char* text);
    const std::vector<MenuEntry>& Menu() const { return m_menu; }

    // The window: screen rectangle, client rectangle (left and top 0), flags, icons.
    RECT rect{};
    RECT client{};
    bool visible = false;
    bool enabled = true;
    bool iconic = false;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;

  private:
    const DialogTemplate* m_pTemplate;
    std::vector<ControlState> m_controls;
    std::vector<MenuEntry> m_menu;
};

// Whether a control is of a window class ("button", "static", ...), without regard to case as
// the window system compares class names.
bool IsClass(const DialogControl& control, const char* className);

// A front end's window: the framework keeps its state in a CWindowModel, and every request has
// a default that keeps the model and calls Changed, so that a front end overrides only what its
// window system does itself (the Win32 one, where the real window keeps its own state). Input
// reaches the dialog through Deliver and the helpers below.
class CModelWindow : public IDialogWindow {
  public:
    // What a request changed, for the front end to show (see Changed).
    enum class Change { Text, ItemEnabled, Progress, Shown, Hidden, Enabled, Moved, Menu, Icon };

    CModelWindow(CDialog& dialog, const DialogTemplate& tmpl) : m_dialog(dialog), m_model(tmpl) {}
    CModelWindow(const CModelWindow&) = delete;
    CModelWindow& operator=(const CModelWindow&) = delete;

    void SetItemText(int id, const CString& text) override;
    CString GetItemText(int id) const override;
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) const override;
    LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsVisible() const override { return m_model.visible; }
    void Show(bool show) override;
    bool IsEnabled() const override { return m_model.enabled; }
    void Enable(bool enable) override;
    bool IsIconic() const override { return m_model.iconic; }
    RECT GetWindowRect() const override { return m_model.rect; }
    RECT GetClientRect() const override { return m_model.client; }
    void MoveTo(int left, int top) override;
    bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) override;
    void SetIcon(int which, HICON icon) override;
    // A system command Close is WM_CLOSE, and WM_CLOSE the Cancel button; nothing else has a
    // default treatment.
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Input, as the dialog's messages: the dialog's handler, then the default treatment.
    virtual LRESULT Deliver(UINT message, WPARAM wParam, LPARAM lParam);
    void Click(int controlId) { Deliver(WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED), 0); }
    void SysCommand(UINT command) { Deliver(WM_SYSCOMMAND, command, 0); }
    // Nothing more can come (the input ended): Cancel is pressed, and the dialog ends whatever
    // its handlers did.
    void InputEnded();

    CWindowModel& Model() { return m_model; }
    const CWindowModel& Model() const { return m_model; }
    CDialog& Dialog() const { return m_dialog; }

  protected:
    // Called after the model took a request, so that the front end shows it: every time for
    // all but showing and hiding, which are told only when they change something; differs says
    // whether the state changed. id is the control's, the menu entry's index, or ICON_BIG or
    // ICON_SMALL.
    virtual void Changed(Change, int, bool) {}

  private:
    CDialog& m_dialog;
    CWindowModel m_model;
};
