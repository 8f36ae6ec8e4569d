// The terminal front end's line mode, when standard output is not a terminal: one line per
// visible change, for scripts (the lines and their escapes are in terminal_frontend.h), and
// commands read by lines. A change that comes within a frame of the last one written out is held
// in the stream's buffer and written with the next one due, by Flush, or before input is read:
// the lines and their order stay the same, only fewer writes carry them.
// Quirk: input is a script and is kept whatever ran meanwhile.
#include <memory>

#include "frontends/terminal/terminal_text.h"
#include "frontends/terminal/terminal_modes.h"

namespace {

class LineFrontEnd : public TerminalFrontEnd {
  public:
    LineFrontEnd(std::istream& in, std::FILE* out) : TerminalFrontEnd(in), m_pOut(out) {}

    void OnShown(TerminalWindow& window) override {
        Print("dialog", window.Model().Template().caption);
    }
    void OnChanged(TerminalWindow& window, const char* kind, const CString& value) override {
        if (window.IsVisible() && *kind != '\0') Print(kind, value, true);
    }
    void Flush() override {
        if (m_pacer.TakeHeld()) std::fflush(m_pOut);
    }
    int MessageBox(IDialogWindow*, const CString& text, const CString& caption, UINT) override {
        const StopSignalsPaused paused(m_stopSignals);
        Print("caption", caption);
        Print("message", text);
        CString line;
        ReadLine(&line);
        return IDOK;
    }

  private:
    // One line; written out at once unless paced, and then with the next one due or by Flush.
    void Print(const CString& kind, const CString& value, bool paced = false) {
        const CString line = kind + ": " + terminal::Escaped(value, false) + "\n";
        std::fwrite(line.data(), 1, line.size(), m_pOut);
        if (!paced || m_pacer.ShowNow()) std::fflush(m_pOut);
    }

    std::FILE* m_pOut;
};

}  // namespace

std::unique_ptr<CFrontEnd> NewLineFrontEnd(std::istream& in, std::FILE* out) {
    return std::make_unique<LineFrontEnd>(in, out);
}
