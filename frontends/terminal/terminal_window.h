// A dialog's window on a terminal, in either mode: its focus, access keys, hints and picture,
// drawn from the framework's window model; what it shows is told to a TerminalView.
#pragma once

#include <vector>

#include "framework/window_model.h"

class TerminalWindow;

// Where a terminal window's changes go: a window appeared, went, or changed what it shows
// ("status" or "progress" with its value; an empty kind for a change seen only in a picture).
class TerminalView {
  public:
    virtual void OnShown(TerminalWindow& window) = 0;
    virtual void OnHidden(TerminalWindow&) {}
    virtual void OnChanged(TerminalWindow& window, const char* kind, const CString& value) = 0;

  protected:
    ~TerminalView() = default;
};

class TerminalWindow : public CModelWindow {
  public:
    TerminalWindow(TerminalView& view, CDialog& dialog, const DialogTemplate& tmpl);
    ~TerminalWindow() override;

    // The command of the window-menu entry that an input word names: the first entry whose
    // label, without its access-key marks, begins with that word (case aside); 0 when none
    // does. So "about" finds whatever command the dialog gave its About entry.
    UINT MenuCommandNamed(const CString& word) const;
    int DefaultButton() const;
    // As in a dialog window, the focused push button is the one Enter presses.
    int EnterButton() const { return m_nFocus != 0 ? m_nFocus : DefaultButton(); }
    int Focus() const { return m_nFocus; }
    // The focus to the next (step 1) or previous (-1) enabled button, round the dialog.
    void MoveFocus(int step);
    // Whether a press of id can act: a disabled button ignores it; an id without a control
    // (IDCANCEL in a dialog without a Cancel button) still reaches the dialog.
    bool Pressable(int id) const;
    // The button, else the command of the window-menu entry, whose access key is letter.
    int ButtonWithAccessKey(char letter) const;
    UINT MenuCommandWithAccessKey(char letter) const;
    // The keys that act on this dialog, as hints; typed commands where input is lines.
    std::vector<CString> Hints(bool keys) const;
    void Draw(std::vector<CString>* rows, size_t columns, bool showFocus) const;

  protected:
    void Changed(Change what, int id, bool differs) override;

  private:
    TerminalView& m_view;
    int m_nFocus = 0;
};
