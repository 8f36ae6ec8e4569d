#include "framework/window_model.h"

#include <algorithm>
#include <cstring>

#include "framework/dialog.h"

namespace {

constexpr uint32_t kWsSysMenu = 0x00080000;

}  // namespace

bool IsClass(const DialogControl& control, const char* className) {
    // Class names are ASCII and compared without regard to case, as the window system does;
    // asked for each progress step, so without a call a character.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    const char* a = control.className;
    if (a == nullptr) return false;
    if (std::strcmp(a, className) == 0) return true;  // as written: the usual case
    for (; *a != '\0' && *className != '\0'; ++a, ++className) {
        if (lower(*a) != lower(*className)) return false;
    }
    return *a == *className;
}

CWindowModel::CWindowModel(const DialogTemplate& tmpl) : m_pTemplate(&tmpl) {
    for (int i = 0; i < tmpl.controlCount; ++i) {
        const DialogControl& c = tmpl.controls[i];
        m_controls.push_back(ControlState{&c, c.text != nullptr ? c.text : "",
                                          (c.style & dlgstyle::kDisabled) == 0,
                                          (c.style & dlgstyle::kVisible) != 0});
    }
    client = RECT{0, 0, DialogUnitsToPixelsX(tmpl.cx), DialogUnitsToPixelsY(tmpl.cy)};
    rect = client;
}

ControlState* CWindowModel::Find(int id) {
    auto it = std::find_if(m_controls.begin(), m_controls.end(),
                           [id](const ControlState& c) { return c.control->id == id; });
    return it != m_controls.end() ? &*it : nullptr;
}

const ControlState* CWindowModel::Find(int id) const {
    return const_cast<CWindowModel*>(this)->Find(id);
}

bool CWindowModel::SetPosition(int id, int position, int* previous) {
    ControlState* control = Find(id);
    *previous = 0;
    if (control == nullptr || !IsClass(*control->control, "msctls_progress32")) return false;
    *previous = control->position;
    control->position = std::clamp(position, 0, 100);
    return true;
}

bool CWindowModel::AppendMenu(UINT flags, UINT command, const char* text) {
    if ((m_pTemplate->style & kWsSysMenu) == 0) return false;
    m_menu.push_back(MenuEntry{(flags & MF_SEPARATOR) != 0, command, text != nullptr ? text : ""});
    return true;
}

// ---- CModelWindow: the model's requests ----

void CModelWindow::SetItemText(int id, const CString& text) {
    ControlState* control = m_model.Find(id);
    if (control == nullptr) return;
    bool differs = control->text != text;
    control->text = text;
    Changed(Change::Text, id, differs);
}

CString CModelWindow::GetItemText(int id) const {
    const ControlState* control = m_model.Find(id);
    return control != nullptr ? control->text : CString();
}

void CModelWindow::EnableItem(int id, bool enable) {
    ControlState* control = m_model.Find(id);
    if (control == nullptr) return;
    bool differs = control->enabled != enable;
    control->enabled = enable;
    Changed(Change::ItemEnabled, id, differs);
}

bool CModelWindow::IsItemEnabled(int id) const {
    const ControlState* control = m_model.Find(id);
    return control != nullptr && control->enabled;
}

LRESULT CModelWindow::SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM) {
    if (message != PBM_SETPOS) return 0;
    int previous = 0;
    if (m_model.SetPosition(id, static_cast<int>(wParam), &previous)) {
        Changed(Change::Progress, id, m_model.Find(id)->position != previous);
    }
    return previous;
}

void CModelWindow::Show(bool show) {
    if (show == m_model.visible) return;
    m_model.visible = show;
    Changed(show ? Change::Shown : Change::Hidden, 0, true);
}

void CModelWindow::Enable(bool enable) {
    bool differs = m_model.enabled != enable;
    m_model.enabled = enable;
    Changed(Change::Enabled, 0, differs);
}

void CModelWindow::MoveTo(int left, int top) {
    RECT& r = m_model.rect;
    bool differs = r.left != left || r.top != top;
    r = RECT{left, top, left + (r.right - r.left), top + (r.bottom - r.top)};
    Changed(Change::Moved, 0, differs);
}

bool CModelWindow::AppendSystemMenu(UINT flags, UINT commandId, const char* text) {
    if (!m_model.AppendMenu(flags, commandId, text)) return false;
    Changed(Change::Menu, static_cast<int>(m_model.Menu().size()) - 1, true);
    return true;
}

void CModelWindow::SetIcon(int which, HICON icon) {
    HICON& slot = which == ICON_BIG ? m_model.bigIcon : m_model.smallIcon;
    bool differs = slot != icon;
    slot = icon;
    Changed(Change::Icon, which, differs);
}

LRESULT CModelWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) Deliver(WM_CLOSE, 0, 0);
    // A dialog's Close is its Cancel button.
    if (message == WM_CLOSE) Click(IDCANCEL);
    return 0;
}

LRESULT CModelWindow::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
    return DeliverToDialog(m_dialog, *this, message, wParam, lParam);
}

void CModelWindow::InputEnded() {
    Click(IDCANCEL);
    if (!m_dialog.IsEnded()) m_dialog.EndDialog(IDCANCEL);
}
