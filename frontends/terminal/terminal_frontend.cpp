// The terminal front end, used when no display can be opened (or KESTRIN_FRONTEND=terminal).
// Supports: both dialogs, message boxes, the buttons, the window menu's entries, the progress
// bar and the statics.
// On a terminal (standard input and output both) the dialog is drawn in place at the terminal's
// width, again whenever that changes, and keys act at once as in a dialog window: Enter presses
// the focused button (the default one until the focus moves), Escape closes, Tab, Shift+Tab and
// the arrows move the focus between the buttons, Space presses the focused one, a letter (alone
// or with Alt) presses the button whose access key it is ("&Update": u) or chooses such an
// entry of the window menu ("&About Kestrin...": a). A message box is drawn below the dialog,
// as wide as its text needs up to the terminal's width; Enter, Escape or Space answers it. A
// text too long for its line wraps at spaces, and a word longer than a line is broken. Keys
// pressed while a handler runs are dropped when it returns, and before a message box appears;
// the hint line shows only while keys are taken. With standard output a terminal and standard
// input not, the drawing is the same and the input is the commands below.
// Otherwise one line per visible change, for scripts:
//   dialog: <caption>        a dialog window appears
//   status: <text>           the status line changed
//   progress: <n>            the progress bar moved
//   caption: <caption>       a message box appears, with this caption...
//   message: <text>          ...and this text
// In these texts a line break is written as the two characters \n, any other control character
// (below 0x20, and 0x7F) as \x and two lower-case hex digits, and a backslash doubled where it
// would otherwise begin one of these (before n, x, a backslash or a control character); every
// other byte as it is. A terminal shows control characters the same way, and the C1 controls
// (0x80 to 0x9F) too, so that no text can move the cursor, retitle the window or clear it.
// Input, one line at a time: an empty line or "update" presses the default button, "about"
// chooses the window-menu entry whose label begins with "About" (whatever command the dialog
// gave it), "cancel", "close", Escape or the end of input closes the dialog. A message box
// waits for one line; the end of input acknowledges it. A line longer than kMaxLine bytes is
// refused as an unknown command and the rest of it, up to its line break, is read and dropped:
// an endless line costs no memory.
// While a handler runs, a change that comes within a frame of the last one shown is held back
// (FramePacer) and shown with the next one due, before the program waits on the server (Flush)
// or when input is read: the lines and their order stay the same, only fewer writes carry them.
// Quirks: nothing is shown of a dialog until its modal loop shows it, so the command-line
// modes print only their message boxes. Input from a pipe or file is a script and is kept
// whatever ran meanwhile. Widths are counted in bytes, so text in a multi-byte encoding wraps
// early. A caption longer than its box's top line is cut there.
#include "frontends/terminal/terminal_frontend.h"

#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "framework/dialog.h"
#include "framework/dialog_template.h"
#include "frontends/terminal/terminal_keys.h"
#include "frontends/terminal/terminal_text.h"

namespace {

using terminal::AccessKey;
using terminal::Centred;
using terminal::Escaped;
using terminal::Framed;
using terminal::Packed;
using terminal::WithoutAccessKeys;
using terminal::Wrapped;

// A dialog's width inside its frame where the terminal has room, and the least it is drawn at.
constexpr size_t kInnerWidth = 62;
constexpr size_t kMinInnerWidth = 16;
// Far longer than any command, and than any line a script would mean as one.
constexpr std::streamsize kMaxLine = 4096;
// The first line of a message box's text follows this mark; the others are indented as far.
const std::string kInfoMark = "(i) ";

void Hinted(const std::vector<std::string>& hints, size_t columns, std::vector<std::string>* out) {
    if (hints.empty()) return;
    for (const std::string& row : Packed(hints, std::max(columns, kMinInnerWidth) - 2, "   ")) {
        out->push_back("  " + row);
    }
}

class TerminalFrontEnd;

class TerminalWindow : public IDialogWindow {
  public:
    TerminalWindow(TerminalFrontEnd& frontEnd, CDialog& dialog, const DialogTemplate& tmpl)
        : m_frontEnd(frontEnd), m_dialog(dialog), m_template(tmpl) {
        for (int i = 0; i < tmpl.controlCount; ++i) {
            const DialogControl& c = tmpl.controls[i];
            m_texts[c.id] = c.text;
            m_itemEnabled[c.id] = (c.style & dlgstyle::kDisabled) == 0;
        }
        m_rect = RECT{0, 0, DialogUnitsToPixelsX(tmpl.cx), DialogUnitsToPixelsY(tmpl.cy)};
        MoveFocus(1);
    }
    ~TerminalWindow() override;

    void SetItemText(int id, const CString& text) override;
    CString GetItemText(int id) const override {
        auto it = m_texts.find(id);
        return it == m_texts.end() ? CString() : it->second;
    }
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) const override {
        auto it = m_itemEnabled.find(id);
        return it != m_itemEnabled.end() && it->second;
    }
    LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsVisible() const override { return m_bVisible; }
    void Show(bool show) override;
    bool IsEnabled() const override { return m_bEnabled; }
    void Enable(bool enable) override { m_bEnabled = enable; }
    bool IsActive() const override { return m_bVisible; }
    void Activate() override {}
    bool IsIconic() const override { return false; }
    bool IsChild() const override { return false; }
    RECT GetWindowRect() const override { return m_rect; }
    RECT GetClientRect() const override {
        return RECT{0, 0, m_rect.right - m_rect.left, m_rect.bottom - m_rect.top};
    }
    void MoveTo(int left, int top) override {
        LONG w = m_rect.right - m_rect.left, h = m_rect.bottom - m_rect.top;
        m_rect = RECT{left, top, left + w, top + h};
    }
    bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) override {
        if ((flags & MF_SEPARATOR) == 0) m_menu.push_back({commandId, text ? text : ""});
        return true;
    }
    void SetIcon(int, HICON) override {}
    // A terminal has no minimised window to paint.
    void PaintIconic(HICON, int, int) override {}
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    void Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
        DeliverToDialog(m_dialog, *this, message, wParam, lParam);
    }
    // The command of the window-menu entry that an input word names: the first entry whose
    // label, without its access-key marks, begins with that word (case aside); 0 when none
    // does. So "about" finds whatever command the dialog gave its About entry.
    UINT MenuCommandNamed(const std::string& word) const {
        for (const auto& [command, label] : m_menu) {
            std::string plain = WithoutAccessKeys(label);
            bool wordEnds = plain.size() == word.size() ||
                            (plain.size() > word.size() &&
                             std::isalnum(static_cast<unsigned char>(plain[word.size()])) == 0);
            if (wordEnds && strncasecmp(plain.c_str(), word.c_str(), word.size()) == 0) {
                return command;
            }
        }
        return 0;
    }
    int DefaultButton() const {
        for (int i = 0; i < m_template.controlCount; ++i) {
            const DialogControl& c = m_template.controls[i];
            if (IsButton(c) && (c.style & 0xF) == dlgstyle::kDefPushButton) return c.id;
        }
        return IDOK;
    }
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
    std::vector<std::string> Hints(bool keys) const;
    void Draw(std::vector<std::string>* rows, size_t columns, bool showFocus) const;
    const DialogTemplate& Template() const { return m_template; }

  private:
    static bool IsButton(const DialogControl& c) { return CString(c.className) == "button"; }

    TerminalFrontEnd& m_frontEnd;
    CDialog& m_dialog;
    const DialogTemplate& m_template;
    std::map<int, CString> m_texts;
    std::map<int, bool> m_itemEnabled;
    std::vector<std::pair<UINT, std::string>> m_menu;
    int m_nProgress = 0;
    int m_nFocus = 0;
    bool m_bVisible = false;
    bool m_bEnabled = true;
    RECT m_rect{};
};

class TerminalFrontEnd : public CFrontEnd {
  public:
    TerminalFrontEnd(std::istream& in, std::FILE* out, bool drawn,
                     std::unique_ptr<TerminalKeys> keys)
        : m_in(in), m_pOut(out), m_bDrawn(drawn), m_pKeys(std::move(keys)) {}

    bool HasTemplate(int templateId) const override {
        return FindDialogTemplate(templateId) != nullptr;
    }
    std::unique_ptr<IDialogWindow> CreateDialogWindow(CDialog& dialog, int templateId,
                                                      IDialogWindow*) override {
        const DialogTemplate* tmpl = FindDialogTemplate(templateId);
        if (tmpl == nullptr) return nullptr;
        auto window = std::make_unique<TerminalWindow>(*this, dialog, *tmpl);
        dialog.Attach(window.get());
        window->Deliver(WM_INITDIALOG, 0, 0);
        return window;
    }
    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override;
    void Flush() override;
    int MessageBox(IDialogWindow*, const CString& text, const CString& caption, UINT) override;
    HICON LoadIcon(int iconId) override {
        // Nothing is drawn from it; a distinct non-null value per icon is all callers need.
        return reinterpret_cast<HICON>(static_cast<intptr_t>(iconId));
    }
    CString LoadString(int stringId) override {
        const char* text = FindStringResource(stringId);
        return text ? text : "";
    }
    int GetSystemMetrics(int index) override {
        return index == SM_CXICON || index == SM_CYICON ? 32 : 0;
    }
    RECT GetWorkArea(const IDialogWindow*) override { return RECT{0, 0, 1024, 768}; }

    // Window changes.
    void Shown(TerminalWindow& window);
    void Hidden(TerminalWindow& window);
    void Changed(TerminalWindow& window, const char* kind, const std::string& value);

  private:
    struct Box {
        bool open = false;
        CString text;
        CString caption;
    };

    bool ReadLine(std::string* line);
    // One command line, or one key, acted on; false at the end of input.
    bool TakeLine(TerminalWindow& window);
    bool TakeKey(TerminalWindow& window);
    Key WaitForKey();
    void Press(TerminalWindow& window, int id);
    void Choose(TerminalWindow& window, UINT command);
    // One line; written out at once unless paced, and then with the next one due or by Flush.
    void Print(const std::string& kind, const std::string& value, bool paced = false) {
        const std::string line = kind + ": " + Escaped(value, false) + "\n";
        std::fwrite(line.data(), 1, line.size(), m_pOut);
        if (!paced || m_pacer.ShowNow()) std::fflush(m_pOut);
    }
    size_t Columns() const;
    void Redraw();

    std::istream& m_in;
    std::FILE* m_pOut;
    bool m_bDrawn;
    std::unique_ptr<TerminalKeys> m_pKeys;  // null where input is lines
    bool m_bTakingKeys = false;
    std::vector<TerminalWindow*> m_shown;
    Box m_box;           // the message box open now, drawn below the dialog
    FramePacer m_pacer;  // paces the changes a handler makes
};

TerminalWindow::~TerminalWindow() {
    m_frontEnd.Hidden(*this);
}

void TerminalWindow::SetItemText(int id, const CString& text) {
    bool changed = m_texts[id] != text;
    m_texts[id] = text;
    for (int i = 0; i < m_template.controlCount; ++i) {
        const DialogControl& c = m_template.controls[i];
        if (c.id == id && changed && std::strcmp(c.className, "static") == 0) {
            m_frontEnd.Changed(*this, "status", text);
        }
    }
}

void TerminalWindow::EnableItem(int id, bool enable) {
    bool changed = IsItemEnabled(id) != enable;
    m_itemEnabled[id] = enable;
    if (changed) m_frontEnd.Changed(*this, "", "");
}

LRESULT TerminalWindow::SendItemMessage(int, UINT message, WPARAM wParam, LPARAM) {
    if (message != PBM_SETPOS) return 0;
    int previous = m_nProgress;
    int pos = std::clamp(static_cast<int>(wParam), 0, 100);
    m_nProgress = pos;
    if (pos != previous) m_frontEnd.Changed(*this, "progress", std::to_string(pos));
    return previous;
}

void TerminalWindow::Show(bool show) {
    if (show == m_bVisible) return;
    m_bVisible = show;
    if (show) {
        m_frontEnd.Shown(*this);
    } else {
        m_frontEnd.Hidden(*this);
    }
}

LRESULT TerminalWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) Deliver(WM_CLOSE, 0, 0);
    return 0;
}

void TerminalWindow::MoveFocus(int step) {
    std::vector<int> buttons;
    for (int i = 0; i < m_template.controlCount; ++i) {
        const DialogControl& c = m_template.controls[i];
        if (IsButton(c) && IsItemEnabled(c.id)) buttons.push_back(c.id);
    }
    if (buttons.empty()) return;
    auto at = std::find(buttons.begin(), buttons.end(), m_nFocus);
    int count = static_cast<int>(buttons.size());
    int index =
        at == buttons.end() ? (step > 0 ? -1 : count) : static_cast<int>(at - buttons.begin());
    m_nFocus = buttons[((index + step) % count + count) % count];
}

bool TerminalWindow::Pressable(int id) const {
    return IsItemEnabled(id) || m_itemEnabled.find(id) == m_itemEnabled.end();
}

int TerminalWindow::ButtonWithAccessKey(char letter) const {
    for (int i = 0; i < m_template.controlCount; ++i) {
        const DialogControl& c = m_template.controls[i];
        if (IsButton(c) && AccessKey(GetItemText(c.id)) == letter) return c.id;
    }
    return 0;
}

UINT TerminalWindow::MenuCommandWithAccessKey(char letter) const {
    for (const auto& [command, label] : m_menu) {
        if (AccessKey(label) == letter) return command;
    }
    return 0;
}

std::vector<std::string> TerminalWindow::Hints(bool keys) const {
    auto label = [this](int id) { return WithoutAccessKeys(GetItemText(id)); };
    std::vector<std::string> hints;
    if (!keys) {
        hints.push_back("Enter: " + label(DefaultButton()));
        if (MenuCommandNamed("about") != 0) hints.push_back("about: About");
    } else {
        if (Pressable(EnterButton())) hints.push_back("Enter: " + label(EnterButton()));
        int enabled = 0;
        for (int i = 0; i < m_template.controlCount; ++i) {
            if (IsButton(m_template.controls[i]) && IsItemEnabled(m_template.controls[i].id)) {
                ++enabled;
            }
        }
        if (enabled > 1) hints.push_back("Tab: Move");
        for (const auto& [command, text] : m_menu) {
            std::string plain = WithoutAccessKeys(text);
            if (plain.ends_with("...")) plain.resize(plain.size() - 3);
            if (char key = AccessKey(text); key != 0) hints.push_back(key + (": " + plain));
        }
    }
    hints.push_back("Esc: Close");
    for (std::string& hint : hints) hint = Escaped(hint, true);
    return hints;
}

void TerminalWindow::Draw(std::vector<std::string>* rows, size_t columns, bool showFocus) const {
    size_t inner = std::clamp(columns, kMinInnerWidth + 2, kInnerWidth + 2) - 2;
    size_t width = inner - 2;
    std::vector<std::string> body;
    std::vector<std::string> buttons;
    for (int i = 0; i < m_template.controlCount; ++i) {
        const DialogControl& c = m_template.controls[i];
        std::string cls = c.className;
        if (cls == "button") {
            std::string label = Escaped(WithoutAccessKeys(GetItemText(c.id)), true);
            if (!IsItemEnabled(c.id)) {
                buttons.push_back("( " + label + " )");
            } else if (showFocus && c.id == m_nFocus) {
                buttons.push_back("[>" + label + "<]");
            } else {
                buttons.push_back("[ " + label + " ]");
            }
        } else if (cls == "msctls_progress32") {
            size_t bar = std::min<size_t>(40, width - 7);
            size_t filled = static_cast<size_t>(m_nProgress) * bar / 100;
            body.push_back("[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " +
                           std::to_string(m_nProgress) + "%");
        } else if (cls == "static" && (c.style & dlgstyle::kSsTypeMask) != dlgstyle::kSsIcon) {
            // Statics without an id keep their template text.
            std::string text = c.id == -1 ? std::string(c.text) : GetItemText(c.id);
            if ((c.style & dlgstyle::kSsNoPrefix) == 0) text = WithoutAccessKeys(text);
            bool centred = (c.style & dlgstyle::kSsTypeMask) == dlgstyle::kSsCenter;
            for (const std::string& row : Wrapped(text, width)) {
                body.push_back(centred ? Centred(row, width) : row);
            }
        }
    }
    std::vector<std::string> buttonRows = Packed(buttons, width, " ");
    body.insert(body.end(), buttonRows.begin(), buttonRows.end());
    Framed(m_template.caption, body, inner, rows);
}

void TerminalFrontEnd::Shown(TerminalWindow& window) {
    m_shown.push_back(&window);
    if (m_bDrawn) {
        Redraw();
    } else {
        Print("dialog", window.Template().caption);
    }
}

void TerminalFrontEnd::Hidden(TerminalWindow& window) {
    auto it = std::find(m_shown.begin(), m_shown.end(), &window);
    if (it == m_shown.end()) return;
    m_shown.erase(it);
    if (m_bDrawn) Redraw();
}

void TerminalFrontEnd::Changed(TerminalWindow& window, const char* kind, const std::string& value) {
    if (!window.IsVisible()) return;
    if (m_bDrawn) {
        if (m_pacer.ShowNow()) Redraw();
    } else if (*kind != '\0') {
        Print(kind, value, true);
    }
}

void TerminalFrontEnd::Flush() {
    if (!m_pacer.TakeHeld()) return;
    if (m_bDrawn) {
        Redraw();
    } else {
        std::fflush(m_pOut);
    }
}

size_t TerminalFrontEnd::Columns() const {
    winsize size{};
    if (ioctl(fileno(m_pOut), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void TerminalFrontEnd::Redraw() {
    // The whole screen is ours: the window on top, and below it an open message box. Drawing
    // from the top left each time keeps what the user typed from shifting the picture.
    size_t columns = Columns();
    bool hints = m_pKeys == nullptr || m_bTakingKeys;
    std::vector<std::string> rows;
    if (!m_shown.empty()) {
        m_shown.back()->Draw(&rows, columns, m_pKeys != nullptr);
        if (hints && !m_box.open) Hinted(m_shown.back()->Hints(m_pKeys != nullptr), columns, &rows);
    }
    if (m_box.open) {
        size_t longest = 0;
        for (const std::string& row : Wrapped(m_box.text, std::string::npos)) {
            longest = std::max(longest, row.size());
        }
        // As wide as the longest line needs, from the dialog's width up to the terminal's.
        size_t inner = std::min(std::max(kInnerWidth, longest + kInfoMark.size() + 2),
                                std::max(columns, kMinInnerWidth + 2) - 2);
        std::vector<std::string> text = Wrapped(m_box.text, inner - 2 - kInfoMark.size());
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = (i == 0 ? kInfoMark : std::string(kInfoMark.size(), ' ')) + text[i];
        }
        text.push_back(Centred("[ OK ]", inner - 2));
        Framed(m_box.caption, text, inner, &rows);
        if (m_pKeys != nullptr && m_bTakingKeys) Hinted({"Enter: OK"}, columns, &rows);
    }
    std::string screen = "\x1b[H\x1b[J";
    for (const std::string& row : rows) screen += row + "\n";
    std::fputs(screen.c_str(), m_pOut);
    std::fflush(m_pOut);
}

bool TerminalFrontEnd::ReadLine(std::string* line) {
    Flush();
    std::string buffer(kMaxLine + 1, '\0');
    m_in.getline(buffer.data(), kMaxLine + 1);
    std::streamsize stored = m_in.gcount();
    if (stored == 0 && !m_in) return false;
    if (m_in.fail()) {
        // No line break within kMaxLine bytes: the line is refused, and what is left of it read
        // and dropped without being kept.
        m_in.clear();
        m_in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    } else if (!m_in.eof()) {
        --stored;  // the line break was counted
    }
    line->assign(buffer.data(), static_cast<size_t>(stored));
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

bool TerminalFrontEnd::TakeLine(TerminalWindow& window) {
    std::string line;
    if (!ReadLine(&line)) return false;
    if (line.empty() || line == "update") {
        Press(window, window.DefaultButton());
    } else if (line == "about") {
        if (UINT about = window.MenuCommandNamed("about"); about != 0) Choose(window, about);
    } else if (line == "cancel" || line == "\x1b") {
        window.Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else if (line == "close") {
        window.Deliver(WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
        std::fprintf(stderr, "commands: an empty line or update, about, cancel\n");
    }
    return true;
}

Key TerminalFrontEnd::WaitForKey() {
    m_bTakingKeys = true;
    Redraw();
    Key key = m_pKeys->Read();
    m_bTakingKeys = false;
    return key;
}

bool TerminalFrontEnd::TakeKey(TerminalWindow& window) {
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

void TerminalFrontEnd::Press(TerminalWindow& window, int id) {
    if (!window.Pressable(id)) return;
    window.Deliver(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    // Keys typed while the handler ran were meant for a screen the user had not seen yet.
    if (m_pKeys != nullptr) m_pKeys->Discard();
}

void TerminalFrontEnd::Choose(TerminalWindow& window, UINT command) {
    window.Deliver(WM_SYSCOMMAND, command, 0);
    if (m_pKeys != nullptr) m_pKeys->Discard();
}

void TerminalFrontEnd::RunModalLoop(CDialog& dialog, IDialogWindow& baseWindow) {
    auto& window = static_cast<TerminalWindow&>(baseWindow);
    window.Show(true);
    while (!dialog.IsEnded()) {
        if (m_pKeys != nullptr ? !TakeKey(window) : !TakeLine(window)) {
            window.Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            // Nothing more can come: the dialog ends whatever its handlers did.
            if (!dialog.IsEnded()) dialog.EndDialog(IDCANCEL);
            break;
        }
    }
}

int TerminalFrontEnd::MessageBox(IDialogWindow*, const CString& text, const CString& caption,
                                 UINT) {
    std::string line;
    if (!m_bDrawn) {
        Print("caption", caption);
        Print("message", text);
        ReadLine(&line);
        return IDOK;
    }
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
    } else {
        Redraw();
        ReadLine(&line);
    }
    m_box.open = false;
    Redraw();
    return IDOK;
}

}  // namespace

std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd() {
    bool drawn = isatty(STDOUT_FILENO) != 0;
    std::unique_ptr<TerminalKeys> keys = drawn ? TerminalKeys::Open(STDIN_FILENO) : nullptr;
    return std::make_unique<TerminalFrontEnd>(std::cin, stdout, drawn, std::move(keys));
}

std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd(std::istream& in, std::FILE* out, bool drawn) {
    return std::make_unique<TerminalFrontEnd>(in, out, drawn, nullptr);
}
