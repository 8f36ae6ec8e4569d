#include "framework/frontend.h"

#include <cstdio>
#include <cstdlib>

#include "framework/dialog.h"

namespace {
CFrontEnd* g_frontEnd = nullptr;
}

CFrontEnd& AfxFrontEnd() {
    if (g_frontEnd == nullptr) {
        // A program that shows a dialog without a window system has nowhere to show it.
        std::fputs("no front end was set up\n", stderr);
        std::abort();
    }
    return *g_frontEnd;
}

void AfxSetFrontEnd(CFrontEnd* frontEnd) {
    g_frontEnd = frontEnd;
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

// ---- CFrontEnd ----

std::unique_ptr<IDialogWindow> CFrontEnd::CreateFromTemplate(CDialog& dialog,
                                                             const DialogTemplate& tmpl,
                                                             IDialogWindow* owner) {
    std::unique_ptr<CModelWindow> window = NewWindow(dialog, tmpl, owner);
    if (window == nullptr) return nullptr;
    dialog.Attach(window.get());
    LRESULT result = window->Deliver(WM_INITDIALOG, 0, 0);
    Initialised(*window, result);
    return window;
}

// ---- pacing and placing ----

bool FramePacer::ShowNow() {
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastShown < kFrame) {
        m_bHeld = true;
        return false;
    }
    m_lastShown = now;
    m_bHeld = false;
    return true;
}

bool FramePacer::TakeHeld() {
    if (!m_bHeld) return false;
    m_bHeld = false;
    m_lastShown = std::chrono::steady_clock::now();
    return true;
}

POINT CentredPosition(const IDialogWindow* owner, const RECT& workArea, LONG width, LONG height) {
    RECT centreOn = workArea;
    if (owner != nullptr && owner->IsVisible() && !owner->IsIconic()) {
        centreOn = owner->GetWindowRect();
    }
    LONG left = (centreOn.left + centreOn.right) / 2 - width / 2;
    LONG top = (centreOn.top + centreOn.bottom) / 2 - height / 2;
    if (left + width > workArea.right) left = workArea.right - width;
    if (left < workArea.left) left = workArea.left;
    if (top + height > workArea.bottom) top = workArea.bottom - height;
    if (top < workArea.top) top = workArea.top;
    return POINT{left, top};
}
