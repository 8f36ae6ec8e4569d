// The terminal front end, used when no display can be opened (or KESTRIN_FRONTEND=terminal).
// Supports: both dialogs, message boxes, the Update/Cancel buttons, the About entry of the
// window menu, the progress bar and status line.
// Output: on a terminal the dialog is drawn in place and redrawn at each change. Otherwise one
// line per visible change, for scripts:
//   dialog: <caption>        a dialog window appears
//   status: <text>           the status line changed
//   progress: <n>            the progress bar moved
//   caption: <caption>       a message box appears, with this caption...
//   message: <text>          ...and this text, each line break written as the two characters \n
// Input, one line at a time: an empty line or "update" presses the default button, "about"
// chooses the window-menu entry whose label begins with "About" (whatever command the dialog
// gave it), "cancel", "close", Escape or the end of input closes the dialog. A message box
// waits for one line; the end of input acknowledges it.
// Quirks: nothing is shown of a dialog until its modal loop shows it, so the command-line
// modes print only their message boxes. Input typed on a terminal while a run is under way is
// discarded when the run ends; input from a pipe or file is a script and is kept.
#include "frontends/terminal/terminal_frontend.h"

#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "framework/dialog.h"
#include "framework/dialog_template.h"

namespace {

constexpr int kInnerWidth = 62;

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// A label without its access-key marks ("&Update" is Update, "&&" an ampersand).
std::string WithoutAccessKeys(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

std::string Centred(const std::string& text, size_t width) {
    if (text.size() >= width) return text.substr(0, width);
    size_t left = (width - text.size()) / 2;
    return std::string(left, ' ') + text + std::string(width - text.size() - left, ' ');
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
            if (CString(c.className) == "button" && (c.style & 0xF) == dlgstyle::kDefPushButton) {
                return c.id;
            }
        }
        return IDOK;
    }
    void Draw(std::vector<std::string>* lines) const;
    const DialogTemplate& Template() const { return m_template; }
    int Progress() const { return m_nProgress; }

  private:
    TerminalFrontEnd& m_frontEnd;
    CDialog& m_dialog;
    const DialogTemplate& m_template;
    std::map<int, CString> m_texts;
    std::map<int, bool> m_itemEnabled;
    std::vector<std::pair<UINT, std::string>> m_menu;
    int m_nProgress = 0;
    bool m_bVisible = false;
    bool m_bEnabled = true;
    RECT m_rect{};
};

class TerminalFrontEnd : public CFrontEnd {
  public:
    TerminalFrontEnd(std::istream& in, std::FILE* out, bool drawn)
        : m_in(in), m_pOut(out), m_bDrawn(drawn) {}

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
    bool ReadLine(std::string* line) {
        if (!std::getline(m_in, *line)) return false;
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
    }
    void Print(const std::string& kind, const std::string& value) {
        std::fprintf(m_pOut, "%s: %s\n", kind.c_str(), value.c_str());
        std::fflush(m_pOut);
    }
    void Redraw();
    void DiscardTypedInput() {
        if (m_bDrawn && isatty(STDIN_FILENO)) tcflush(STDIN_FILENO, TCIFLUSH);
    }

    std::istream& m_in;
    std::FILE* m_pOut;
    bool m_bDrawn;
    std::vector<TerminalWindow*> m_shown;
    std::vector<std::string> m_box;  // the message box open now, drawn below the dialog
};

TerminalWindow::~TerminalWindow() {
    m_frontEnd.Hidden(*this);
}

void TerminalWindow::SetItemText(int id, const CString& text) {
    bool changed = m_texts[id] != text;
    m_texts[id] = text;
    for (int i = 0; i < m_template.controlCount; ++i) {
        const DialogControl& c = m_template.controls[i];
        if (c.id == id && changed && CString(c.className) == "static") {
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

void TerminalWindow::Draw(std::vector<std::string>* lines) const {
    const std::string border = "+" + std::string(kInnerWidth, '-') + "+";
    lines->push_back("+" + Centred(" " + std::string(m_template.caption) + " ", kInnerWidth) + "+");
    std::vector<std::string> body;
    std::vector<std::string> buttons;
    for (int i = 0; i < m_template.controlCount; ++i) {
        const DialogControl& c = m_template.controls[i];
        std::string cls = c.className;
        if (cls == "button") {
            std::string label = WithoutAccessKeys(GetItemText(c.id));
            buttons.push_back(IsItemEnabled(c.id) ? "[" + label + "]" : "(" + label + ")");
        } else if (cls == "msctls_progress32") {
            int filled = m_nProgress * 40 / 100;
            body.push_back("[" + std::string(filled, '#') + std::string(40 - filled, '.') + "] " +
                           std::to_string(m_nProgress) + "%");
        } else if (cls == "static" && (c.style & dlgstyle::kSsTypeMask) != dlgstyle::kSsIcon) {
            // Statics without an id keep their template text.
            std::string text = c.id == -1 ? std::string(c.text) : GetItemText(c.id);
            if ((c.style & dlgstyle::kSsNoPrefix) == 0) text = WithoutAccessKeys(text);
            body.push_back((c.style & dlgstyle::kSsTypeMask) == dlgstyle::kSsCenter
                               ? Centred(text, 48)
                               : text);
        }
    }
    std::string buttonRow;
    for (const std::string& b : buttons) buttonRow += b + " ";
    body.push_back(buttonRow);
    for (const std::string& line : body) {
        std::string padded = " " + line;
        padded.resize(kInnerWidth, ' ');
        lines->push_back("|" + padded + "|");
    }
    lines->push_back(border);
    if (MenuCommandNamed("about") != 0)
        lines->push_back("  Enter: Update   about: About   Esc: Close");
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
        Redraw();
    } else if (*kind != '\0') {
        Print(kind, value);
    }
}

void TerminalFrontEnd::Redraw() {
    // The whole screen is ours: the window on top, and below it an open message box. Drawing
    // from the top left each time keeps what the user typed from shifting the picture.
    std::fputs("\x1b[H\x1b[J", m_pOut);
    std::vector<std::string> lines;
    if (!m_shown.empty()) m_shown.back()->Draw(&lines);
    lines.insert(lines.end(), m_box.begin(), m_box.end());
    for (const std::string& line : lines) std::fprintf(m_pOut, "%s\n", line.c_str());
    std::fflush(m_pOut);
}

void TerminalFrontEnd::RunModalLoop(CDialog& dialog, IDialogWindow& baseWindow) {
    auto& window = static_cast<TerminalWindow&>(baseWindow);
    window.Show(true);
    while (!dialog.IsEnded()) {
        std::string line;
        if (!ReadLine(&line)) {
            window.Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            // Nothing more can come: the dialog ends whatever its handlers did.
            if (!dialog.IsEnded()) dialog.EndDialog(IDCANCEL);
            break;
        }
        if (line.empty() || line == "update") {
            int button = window.DefaultButton();
            if (window.IsItemEnabled(button)) {
                window.Deliver(WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            }
        } else if (line == "about") {
            if (UINT about = window.MenuCommandNamed("about"); about != 0) {
                window.Deliver(WM_SYSCOMMAND, about, 0);
            }
        } else if (line == "cancel" || line == "\x1b" || line == "close") {
            if (line == "close") {
                window.Deliver(WM_SYSCOMMAND, SC_CLOSE, 0);
            } else {
                window.Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            }
        } else {
            std::fprintf(stderr, "commands: an empty line or update, about, cancel\n");
        }
        DiscardTypedInput();
    }
}

int TerminalFrontEnd::MessageBox(IDialogWindow*, const CString& text, const CString& caption,
                                 UINT) {
    if (m_bDrawn) {
        m_box.clear();
        m_box.push_back("+" + Centred(" " + caption + " ", kInnerWidth) + "+");
        size_t start = 0;
        bool first = true;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string part =
                text.substr(start, end == CString::npos ? CString::npos : end - start);
            part = (first ? " (i) " : "     ") + part;
            part.resize(kInnerWidth, ' ');
            m_box.push_back("|" + part + "|");
            first = false;
            if (end == CString::npos) break;
            start = end + 1;
        }
        m_box.push_back("|" + Centred("[OK]", kInnerWidth) + "|");
        m_box.push_back("+" + std::string(kInnerWidth, '-') + "+");
        Redraw();
    } else {
        Print("caption", caption);
        Print("message", Escaped(text));
    }
    std::string line;
    ReadLine(&line);
    m_box.clear();
    if (m_bDrawn) Redraw();
    return IDOK;
}

}  // namespace

std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd() {
    bool drawn = isatty(STDOUT_FILENO) != 0;
    return std::make_unique<TerminalFrontEnd>(std::cin, stdout, drawn);
}

std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd(std::istream& in, std::FILE* out, bool drawn) {
    return std::make_unique<TerminalFrontEnd>(in, out, drawn);
}
