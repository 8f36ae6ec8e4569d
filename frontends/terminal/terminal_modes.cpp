// The terminal front end's modal loop and commands, which both modes share (terminal_modes.h).
#include "frontends/terminal/terminal_modes.h"

#include <unistd.h>

#include <limits>
#include <string_view>

#include "framework/dialog.h"

namespace {

// Far longer than any command, and than any line a script would mean as one.
constexpr std::streamsize kMaxLine = 4096;

}  // namespace

std::unique_ptr<CModelWindow> TerminalFrontEnd::NewWindow(CDialog& dialog,
                                                          const DialogTemplate& tmpl,
                                                          IDialogWindow*) {
    return std::make_unique<TerminalWindow>(*this, dialog, tmpl);
}

bool TerminalFrontEnd::ReadLine(CString* line) {
    Flush();
    CString buffer(kMaxLine + 1, '\0');
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

namespace {

bool EndsDialog(std::string_view line) {
    return line == "cancel" || line == "close" || line == "\x1b";
}

// Ends the dialog as such a line says: Cancel (cancel, Escape) or the close box (close).
void EndDialog(TerminalWindow& window, std::string_view line) {
    if (line == "close") return window.SysCommand(SC_CLOSE);
    window.Click(IDCANCEL);
}

}  // namespace

bool TerminalFrontEnd::TakeLine(TerminalWindow& window) {
    CString line;
    if (!ReadLine(&line)) return false;
    if (line.empty() || line == "update") {
        Press(window, window.DefaultButton());
    } else if (line == "about") {
        if (UINT about = window.MenuCommandNamed("about"); about != 0) Choose(window, about);
    } else if (EndsDialog(line)) {
        EndDialog(window, line);
    } else {
        std::fprintf(stderr, "commands: an empty line or update, about, cancel\n");
    }
    return true;
}

void TerminalFrontEnd::Press(TerminalWindow& window, int id) {
    if (!window.Pressable(id)) return;
    window.Click(id);
    Handled();
}

void TerminalFrontEnd::Choose(TerminalWindow& window, UINT command) {
    window.SysCommand(command);
    Handled();
}

std::istream& LiveStandardInput() {
    static LiveInput input(STDIN_FILENO);
    static std::istream stream(&input);
    return stream;
}

void TerminalFrontEnd::RunBegins() {
    m_stopSignals.emplace();
    if (m_pLive != nullptr) m_pLive->Mark();
}

void TerminalFrontEnd::Pump(IDialogWindow& baseWindow) {
    auto& window = static_cast<TerminalWindow&>(baseWindow);
    Flush();
    if (StopSignals::Take()) return window.Click(IDCANCEL);
    if (m_pLive != nullptr) {
        if (const std::optional<std::string> line = m_pLive->TakeArrived(EndsDialog)) {
            return EndDialog(window, *line);
        }
    }
    PumpKeys(window);
}

void TerminalFrontEnd::RunModalLoop(CDialog& dialog, IDialogWindow& baseWindow) {
    auto& window = static_cast<TerminalWindow&>(baseWindow);
    window.Show(true);
    while (!dialog.IsEnded()) {
        if (!TakeInput(window)) return window.InputEnded();
    }
}
