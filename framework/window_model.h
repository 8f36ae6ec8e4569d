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
