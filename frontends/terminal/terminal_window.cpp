#include "frontends/terminal/terminal_window.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

#include "framework/dialog.h"
#include "frontends/terminal/terminal_text.h"

namespace {

using terminal::AccessKey;
using terminal::Centred;
using terminal::Escaped;
using terminal::Framed;
using terminal::kInnerWidth;
using terminal::kMinInnerWidth;
using terminal::Packed;
using terminal::WithoutAccessKeys;
using terminal::Wrapped;

bool IsButton(const ControlState& c) {
    return IsClass(*c.control, "button");
}

}  // namespace

TerminalWindow::TerminalWindow(TerminalView& view, CDialog& dialog, const DialogTemplate& tmpl)
    : CModelWindow(dialog, tmpl), m_view(view) {
    MoveFocus(1);
}

TerminalWindow::~TerminalWindow() {
    m_view.OnHidden(*this);
}

void TerminalWindow::Changed(Change what, int id, bool differs) {
    switch (what) {
        case Change::Text:
            if (differs && IsClass(*Model().Find(id)->control, "static")) {
                m_view.OnChanged(*this, "status", GetItemText(id));
            }
            break;
        case Change::ItemEnabled:
            if (differs) m_view.OnChanged(*this, "", "");
            break;
        case Change::Progress:
            if (differs) {
                m_view.OnChanged(*this, "progress", std::to_string(Model().Find(id)->position));
            }
            break;
        case Change::Shown:
            m_view.OnShown(*this);
            break;
        case Change::Hidden:
            m_view.OnHidden(*this);
            break;
        default:
            break;
    }
}

UINT TerminalWindow::MenuCommandNamed(const CString& word) const {
    for (const MenuEntry& entry : Model().Menu()) {
        CString plain = WithoutAccessKeys(entry.text);
        bool wordEnds = plain.size() == word.size() ||
                        (plain.size() > word.size() &&
                         std::isalnum(static_cast<unsigned char>(plain[word.size()])) == 0);
        if (!entry.separator && wordEnds &&
            strncasecmp(plain.c_str(), word.c_str(), word.size()) == 0) {
            return entry.command;
        }
    }
    return 0;
}

int TerminalWindow::DefaultButton() const {
    for (const ControlState& c : Model().Controls()) {
        if (IsButton(c) && (c.control->style & 0xF) == dlgstyle::kDefPushButton) {
            return c.control->id;
        }
    }
    return IDOK;
}

void TerminalWindow::MoveFocus(int step) {
    std::vector<int> buttons;
    for (const ControlState& c : Model().Controls()) {
        if (IsButton(c) && c.enabled) buttons.push_back(c.control->id);
    }
    if (buttons.empty()) return;
    auto at = std::find(buttons.begin(), buttons.end(), m_nFocus);
    int count = static_cast<int>(buttons.size());
    int index =
        at == buttons.end() ? (step > 0 ? -1 : count) : static_cast<int>(at - buttons.begin());
    m_nFocus = buttons[((index + step) % count + count) % count];
}

bool TerminalWindow::Pressable(int id) const {
    const ControlState* control = Model().Find(id);
    return control == nullptr || control->enabled;
}

int TerminalWindow::ButtonWithAccessKey(char letter) const {
    for (const ControlState& c : Model().Controls()) {
        if (IsButton(c) && AccessKey(c.text) == letter) return c.control->id;
    }
    return 0;
}

UINT TerminalWindow::MenuCommandWithAccessKey(char letter) const {
    for (const MenuEntry& entry : Model().Menu()) {
        if (!entry.separator && AccessKey(entry.text) == letter) return entry.command;
    }
    return 0;
}

std::vector<CString> TerminalWindow::Hints(bool keys) const {
    auto label = [this](int id) { return WithoutAccessKeys(GetItemText(id)); };
    std::vector<CString> hints;
    if (!keys) {
        hints.push_back("Enter: " + label(DefaultButton()));
        if (MenuCommandNamed("about") != 0) hints.push_back("about: About");
    } else {
        if (Pressable(EnterButton())) hints.push_back("Enter: " + label(EnterButton()));
        const auto& controls = Model().Controls();
        if (std::count_if(controls.begin(), controls.end(),
                          [](const ControlState& c) { return IsButton(c) && c.enabled; }) > 1) {
            hints.push_back("Tab: Move");
        }
        for (const MenuEntry& entry : Model().Menu()) {
            CString plain = WithoutAccessKeys(entry.text);
            if (plain.ends_with("...")) plain.resize(plain.size() - 3);
            char key = entry.separator ? 0 : AccessKey(entry.text);
            if (key != 0) hints.push_back(key + (": " + plain));
        }
    }
    hints.push_back("Esc: Close");
    for (CString& hint : hints) hint = Escaped(hint, true);
    return hints;
}

void TerminalWindow::Draw(std::vector<CString>* rows, size_t columns, bool showFocus) const {
    size_t inner = std::clamp(columns, kMinInnerWidth + 2, kInnerWidth + 2) - 2;
    size_t width = inner - 2;
    std::vector<CString> body;
    std::vector<CString> buttons;
    for (const ControlState& c : Model().Controls()) {
        const uint32_t style = c.control->style;
        if (!c.visible) continue;
        if (IsButton(c)) {
            CString label = Escaped(WithoutAccessKeys(c.text), true);
            if (!c.enabled) {
                buttons.push_back("( " + label + " )");
            } else if (showFocus && c.control->id == m_nFocus) {
                buttons.push_back("[>" + label + "<]");
            } else {
                buttons.push_back("[ " + label + " ]");
            }
        } else if (IsClass(*c.control, "msctls_progress32")) {
            size_t bar = std::min<size_t>(40, width - 7);
            size_t filled = static_cast<size_t>(c.position) * bar / 100;
            // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) of a literal prepended.
            CString line = "[";
            line.append(filled, '#').append(bar - filled, '.').append("] ");
            body.push_back(line.append(std::to_string(c.position)).append("%"));
        } else if (IsClass(*c.control, "static") &&
                   (style & dlgstyle::kSsTypeMask) != dlgstyle::kSsIcon) {
            CString text =
                (style & dlgstyle::kSsNoPrefix) == 0 ? WithoutAccessKeys(c.text) : c.text;
            bool centred = (style & dlgstyle::kSsTypeMask) == dlgstyle::kSsCenter;
            for (const CString& row : Wrapped(text, width)) {
                body.push_back(centred ? Centred(row, width) : row);
            }
        }
    }
    std::vector<CString> buttonRows = Packed(buttons, width, " ");
    body.insert(body.end(), buttonRows.begin(), buttonRows.end());
    Framed(Model().Template().caption, body, inner, rows);
}
