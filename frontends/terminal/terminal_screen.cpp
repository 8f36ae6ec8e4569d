// The terminal front end's screen mode, when standard output is a terminal: the dialog drawn in
// place at the terminal's width (again whenever that changes), an open message box below it,
// and keys read one at a time when standard input is the terminal too (else commands by lines,
// as in line mode). Keys pressed while a handler runs are dropped when it returns, and before a
// message box appears; the hint line shows only while keys are taken. A change that comes within
// a frame of the last one drawn is drawn with the next one due, by Flush, or before the program
// waits for a key or a line.
// Quirks: widths are counted in bytes, so text in a multi-byte encoding wraps early; a caption
// longer than its box's top line is cut there.
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "framework/dialog.h"
#include "frontends/terminal/terminal_text.h"
#include "frontends/terminal/terminal_modes.h"

namespace {

using terminal::Centred;
using terminal::Framed;
using terminal::kInnerWidth;
using terminal::kMinInnerWidth;
using terminal::Wrapped;

// The first line of a message box's text follows this mark; the others are indented as far.
const CString kInfoMark = "(i) ";

void Hinted(const std::vector<CString>& hints, size_t columns, std::vector<CString>* out) {
    if (hints.empty()) return;
    for (const CString& row :
         terminal::Packed(hints, std::max(columns, kMinInnerWidth) - 2, "   ")) {
        out->push_back("  " + row);
    }
}

class ScreenFrontEnd : public TerminalFrontEnd {
  public:
    ScreenFrontEnd(std::istream& in, std::FILE* out, std::unique_ptr<TerminalKeys> keys)
        : TerminalFrontEnd(in), m_pOut(out), m_pKeys(std::move(keys)) {}

    void OnShown(TerminalWindow& window) override {
        m_shown.push_back(&window);
        Redraw();
    }
    void OnHidden(TerminalWindow& window) override {
        auto it = std::find(m_shown.begin(), m_shown.end(), &window);
        if (it == m_shown.end()) return;
        m_shown.erase(it);
        Redraw();
    }
    void OnChanged(TerminalWindow& window, const char*, const CString&) override {
        if (window.IsVisible() && m_pacer.ShowNow()) Redraw();
    }
    void Flush() override {
        if (m_pacer.TakeHeld()) Redraw();
    }
    int MessageBox(IDialogWindow*, const CString& text, const CString& caption, UINT) override;

  protected:
    bool TakeInput(TerminalWindow& window) override {
        return m_pKeys != nullptr ? TakeKey(window) : TakeLine(window);
    }
    // Keys typed while the handler ran were meant for a screen the user had not seen yet.
    void Handled() override {
        if (m_pKeys != nullptr) m_pKeys->Discard();
    }
    // During a run keys act as they come (the dialog takes only what ends it).
    void PumpKeys(TerminalWindow& window) override {
        while (m_pKeys != nullptr && m_pKeys->Waiting() && !window.Dialog().IsEnded()) {
            // A terminal that is gone ends nothing during a run: its end is for the modal loop.
            if (!TakeKey(window)) break;
        }
    }

  private:
    struct Box {
        bool open = false;
        CString text;
        CString caption;
    };

    bool TakeKey(TerminalWindow& window);
    Key WaitForKey();
    size_t Columns() const;
    void Redraw();
    void DrawBox(size_t columns, std::vector<CString>* rows) const;

    std::FILE* m_pOut;
    std::unique_ptr<TerminalKeys> m_pKeys;  // null where input is lines
    bool m_bTakingKeys = false;
    std::vector<TerminalWindow*> m_shown;
    Box m_box;  // the message box open now, drawn below the dialog
};

size_t ScreenFrontEnd::Columns() const {
    winsize size{};
    if (ioctl(fileno(m_pOut), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void ScreenFrontEnd::Redraw() {
    // The whole screen is ours: the window on top, and below it an open message box. Drawing
    // from the top left each time keeps what the user typed from shifting the picture.
    size_t columns = Columns();
    bool hints = m_pKeys == nullptr || m_bTakingKeys;
    std::vector<CString> rows;
    if (!m_shown.empty()) {
        m_shown.back()->Draw(&rows, columns, m_pKeys != nullptr);
        if (hints && !m_box.open) Hinted(m_shown.back()->Hints(m_pKeys != nullptr), columns, &rows);
    }
    if (m_box.open) DrawBox(columns, &rows);
    CString screen = "\x1b[H\x1b[J";
    for (const CString& row : rows) screen += row + "\n";
    std::fputs(screen.c_str(), m_pOut);
    std::fflush(m_pOut);
}

void ScreenFrontEnd::DrawBox(size_t columns, std::vector<CString>* rows) const {
    size_t longest = 0;
    for (const CString& row : Wrapped(m_box.text, CString::npos)) {
        longest = std::max(longest, row.size());
    }
    // As wide as the longest line needs, from the dialog's width up to the terminal's.
    size_t inner = std::min(std::max(kInnerWidth, longest + kInfoMark.size() + 2),
                            std::max(columns, kMinInnerWidth + 2) - 2);
    std::vector<CString> text = Wrapped(m_box.text, inner - 2 - kInfoMark.size());
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = (i == 0 ? kInfoMark : CString(kInfoMark.size(), ' ')) + text[i];
    }
    text.push_back(Centred("[ OK ]", inner - 2));
    Framed(m_box.caption, text, inner, rows);
    if (m_pKeys != nullptr && m_bTakingKeys) Hinted({"Enter: OK"}, columns, rows);
}

Key ScreenFrontEnd::WaitForKey() {
    m_bTakingKeys = true;
    Redraw();
    Key key = m_pKeys->Read();
    m_bTakingKeys = false;
    return key;
}

bool ScreenFrontEnd::TakeKey(TerminalWindow& window) {
    Key key = WaitForKey();
    switch (key.code) {
        case KeyCode::End:
            return false;
        case KeyCode::Enter:
            Press(window, window.EnterButton());
            break;
        case KeyCode::Space:
            if (window.Focus() != 0) Press(window, window.Focus());
            break;
        case KeyCode::Escape:
            Press(window, IDCANCEL);
            break;
        case KeyCode::Tab:
        case KeyCode::Right:
        case KeyCode::Down:
            window.MoveFocus(1);
            break;
        case KeyCode::BackTab:
        case KeyCode::Left:
        case KeyCode::Up:
            window.MoveFocus(-1);
            break;
        case KeyCode::Letter:
        case KeyCode::AltLetter: {
            char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(key.letter)));
            if (int button = window.ButtonWithAccessKey(letter); button != 0) {
                Press(window, button);
            } else if (UINT command = window.MenuCommandWithAccessKey(letter); command != 0) {
                Choose(window, command);
            }
            break;
        }
        default:
            break;
    }
    return true;
}

int ScreenFrontEnd::MessageBox(IDialogWindow*, const CString& text, const CString& caption, UINT) {
    const StopSignalsPaused paused(m_stopSignals);
    m_box = Box{true, text, caption};
    if (m_pKeys != nullptr) {
        m_pKeys->Discard();  // typed before the box could be seen
        for (;;) {
            KeyCode code = WaitForKey().code;
            if (code == KeyCode::End || code == KeyCode::Enter || code == KeyCode::Escape ||
                code == KeyCode::Space) {
                break;
            }
        }
        // Typed with the answer, ahead of the screen that follows (a run may go on after it).
        m_pKeys->Discard();
    } else {
        Redraw();
        CString line;
        ReadLine(&line);
    }
    m_box.open = false;
    Redraw();
    return IDOK;
}

}  // namespace

std::unique_ptr<CFrontEnd> NewScreenFrontEnd(std::istream& in, std::FILE* out,
                                             std::unique_ptr<TerminalKeys> keys) {
    return std::make_unique<ScreenFrontEnd>(in, out, std::move(keys));
}
