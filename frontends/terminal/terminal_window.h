// What both terminal modes share: a dialog's window on a terminal (its focus, access keys, hints
// and picture, drawn from the framework's window model), and the front end's modal loop and
// commands read by lines. The modes are terminal_lines.cpp (one line per change) and
// terminal_screen.cpp (the dialog drawn in place).
#pragma once

#include <cstdio>
#include <istream>
#include <memory>
#include <vector>

#include "framework/frontend.h"
#include "frontends/terminal/terminal_keys.h"

class TerminalFrontEnd;

class TerminalWindow : public CModelWindow {
  public:
    TerminalWindow(TerminalFrontEnd& frontEnd, CDialog& dialog, const DialogTemplate& tmpl);
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
    TerminalFrontEnd& m_frontEnd;
    int m_nFocus = 0;
};

// The modal loop and the commands read by lines, which both modes take; what is shown is the
// mode's.
class TerminalFrontEnd : public CFrontEnd {
  public:
    explicit TerminalFrontEnd(std::istream& in) : m_in(in) {}

    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override;

    // A window appeared, went, or changed what it shows ("status" or "progress" with its value;
    // an empty kind for a change seen only in a picture).
    virtual void OnShown(TerminalWindow& window) = 0;
    virtual void OnHidden(TerminalWindow&) {}
    virtual void OnChanged(TerminalWindow& window, const char* kind, const CString& value) = 0;

  protected:
    std::unique_ptr<CModelWindow> NewWindow(CDialog& dialog, const DialogTemplate& tmpl,
                                            IDialogWindow* owner) override;
    // One line of input, once what is held back is shown; false at the end of input.
    bool ReadLine(CString* line);
    // One command line acted on; false at the end of input.
    bool TakeLine(TerminalWindow& window);
    // One piece of input (a line, or a key) acted on; false at the end of input.
    virtual bool TakeInput(TerminalWindow& window) { return TakeLine(window); }
    // After a press or a choice has been handled.
    virtual void Handled() {}
    void Press(TerminalWindow& window, int id);
    void Choose(TerminalWindow& window, UINT command);

    FramePacer m_pacer;  // paces the changes a handler makes

  private:
    std::istream& m_in;
};

// The two modes: one line per change (terminal_lines.cpp), and the dialog drawn in place with
// keys (keys null: commands by lines) (terminal_screen.cpp).
std::unique_ptr<CFrontEnd> NewLineFrontEnd(std::istream& in, std::FILE* out);
std::unique_ptr<CFrontEnd> NewScreenFrontEnd(std::istream& in, std::FILE* out,
                                             std::unique_ptr<TerminalKeys> keys);
