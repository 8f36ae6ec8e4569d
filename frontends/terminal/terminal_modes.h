// The terminal front end's two modes and what they share: the modal loop and the commands read
// by lines (terminal_modes.cpp); what is shown, and how keys are read, is the mode's.
#pragma once

#include <cstdio>
#include <istream>
#include <memory>
#include <optional>

#include "framework/model_frontend.h"
#include "frontends/stop_signals_posix.h"
#include "frontends/terminal/terminal_input.h"
#include "frontends/terminal/terminal_keys.h"
#include "frontends/terminal/terminal_window.h"

// The modal loop and the commands read by lines, which both modes take; what is shown is the
// mode's.
class TerminalFrontEnd : public CModelFrontEnd, public TerminalView {
  public:
    explicit TerminalFrontEnd(std::istream& in)
        : m_in(in), m_pLive(dynamic_cast<LiveInput*>(in.rdbuf())) {}

    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override;
    // During a run: Ctrl+C, SIGTERM, and a "cancel", "close" or Escape line that arrives while
    // it goes on (input read live, see LiveInput) end the dialog; the mode's keys are taken by
    // PumpKeys. Other lines wait for the run's end.
    void RunBegins() override;
    void RunEnds() override { m_stopSignals.reset(); }
    void Pump(IDialogWindow& window) override;

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
    // During a run, the keys typed meanwhile, when the mode reads keys.
    virtual void PumpKeys(TerminalWindow&) {}
    void Press(TerminalWindow& window, int id);
    void Choose(TerminalWindow& window, UINT command);

    FramePacer m_pacer;                        // paces the changes a handler makes
    std::optional<StopSignals> m_stopSignals;  // while a run goes on

  private:
    std::istream& m_in;
    LiveInput* m_pLive;  // m_in's buffer when the input is read live
};

// Standard input read live (terminal_input.h), for the modes that read lines from it.
std::istream& LiveStandardInput();

// The two modes: one line per change (terminal_lines.cpp), and the dialog drawn in place with
// keys (keys null: commands by lines) (terminal_screen.cpp).
std::unique_ptr<CFrontEnd> NewLineFrontEnd(std::istream& in, std::FILE* out);
std::unique_ptr<CFrontEnd> NewScreenFrontEnd(std::istream& in, std::FILE* out,
                                             std::unique_ptr<TerminalKeys> keys);
