#include "framework/dialog.h"

#include <algorithm>
#include <new>

#include "framework/exceptions.h"
#include "framework/winapp.h"

// ---- CProgressCtrl ----

void CProgressCtrl::Attach(IDialogWindow* window, int id) {
    m_pWindow = window;
    m_nId = id;
}

void CProgressCtrl::Detach() {
    m_pWindow = nullptr;
}

int CProgressCtrl::SetPos(int pos) {
    return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos), 0));
}

LRESULT CProgressCtrl::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // Without a window (no dialog shown, or a test host) there is nothing to move.
    if (m_pWindow == nullptr) return 0;
    return m_pWindow->SendItemMessage(m_nId, message, wParam, lParam);
}

// ---- data exchange ----

void DDX_Control(CDataExchange* pDX, int id, CProgressCtrl& control) {
    if (!control.IsAttached() && pDX->m_pDlgWnd->GetWindow() != nullptr) {
        control.Attach(pDX->m_pDlgWnd->GetWindow(), id);
        pDX->m_pDlgWnd->RegisterControl(&control);
    }
}

void DDX_Text(CDataExchange* pDX, int id, CString& value) {
    if (pDX->m_bSaveAndValidate) {
        value = pDX->m_pDlgWnd->GetDlgItemText(id);
    } else {
        pDX->m_pDlgWnd->SetDlgItemText(id, value);
    }
}

// ---- CDialog ----

CDialog::CDialog(int templateId, CDialog* parent) : m_templateId(templateId), m_pParent(parent) {}

CDialog::~CDialog() {
    for (CProgressCtrl* control : m_controls) control->Detach();
}

const MessageMap* CDialog::BaseMessageMap() {
    static const MessageMapEntry entries[] = {
        OnCommandEntry<CDialog, &CDialog::OnOK>(BN_CLICKED, IDOK),
        OnCommandEntry<CDialog, &CDialog::OnCancel>(BN_CLICKED, IDCANCEL),
        OnMessageEntry<CDialog, &CDialog::OnCancel>(WM_CLOSE),
    };
    static const MessageMap map{nullptr, entries, static_cast<int>(std::size(entries))};
    return &map;
}

const MessageMap* CDialog::GetMessageMap() const {
    return BaseMessageMap();
}

void CDialog::ExchangeData(CDataExchange*) {}

BOOL CDialog::OnInitDialog() {
    UpdateData(false);
    return TRUE;
}

void CDialog::OnOK() {
    UpdateData(true);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::EndDialog(int result) {
    m_bEnded = true;
    m_nResult = result;
}

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(*this, saveAndValidate);
    ExchangeData(&dx);
    return true;
}

void CDialog::RegisterControl(CProgressCtrl* control) {
    m_controls.push_back(control);
}

void CDialog::SetDlgItemText(int id, const CString& text) {
    if (m_pWindow != nullptr) m_pWindow->SetItemText(id, text);
}

CString CDialog::GetDlgItemText(int id) const {
    return m_pWindow != nullptr ? m_pWindow->GetItemText(id) : CString();
}

void CDialog::EnableDlgItem(int id, bool enable) {
    if (m_pWindow != nullptr) m_pWindow->EnableItem(id, enable);
}

LRESULT CDialog::Default() {
    if (m_pWindow == nullptr) return 0;
    return m_pWindow->DefaultProc(m_curMessage, m_curWParam, m_curLParam);
}

int CDialog::RunModal() {
    CFrontEnd& frontEnd = AfxFrontEnd();
    if (!frontEnd.HasTemplate(m_templateId)) return -1;

    // The owner: the given parent, else the application's main window once it has a window.
    IDialogWindow* owner = nullptr;
    if (m_pParent != nullptr) {
        owner = m_pParent->GetWindow();
    } else if (CWinApp* app = AfxGetApp();
               app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd != this) {
        owner = app->m_pMainWnd->GetWindow();
    }
    bool disabledOwner = false;
    if (owner != nullptr && owner->IsEnabled()) {
        owner->Enable(false);
        disabledOwner = true;
    }

    m_bEnded = false;
    m_nResult = IDCANCEL;
    m_pOwnerWindow = owner;
    std::unique_ptr<IDialogWindow> window = frontEnd.CreateDialogWindow(*this, m_templateId, owner);
    if (window == nullptr) {
        Attach(nullptr);
        if (disabledOwner) owner->Enable(true);
        return -1;
    }
    if (!m_bEnded) frontEnd.RunModalLoop(*this, *window);

    bool wasActive = window->IsActive();
    window->Show(false);
    if (disabledOwner) owner->Enable(true);
    if (wasActive && owner != nullptr) owner->Activate();
    DestroyWindow(std::move(window));
    m_pOwnerWindow = nullptr;
    return m_nResult;
}

void CDialog::DestroyWindow(std::unique_ptr<IDialogWindow> window) {
    for (CProgressCtrl* control : m_controls) control->Detach();
    m_controls.clear();
    Attach(nullptr);
    window.reset();
    // Destroying the main window's window clears the application's record of it.
    if (CWinApp* app = AfxGetApp(); app != nullptr && app->m_pMainWnd == this) {
        app->m_pMainWnd = nullptr;
    }
}

namespace {

// The first of the system's own window-menu commands (SC_SIZE); the program's entries lie below.
constexpr WPARAM kFirstSystemCommand = 0xF000;

// What a dialog drops while a run is under way: every command but Cancel, and the entries the
// program put in the window menu.
bool DroppedDuringRun(UINT message, WPARAM wParam) {
    if (message == WM_COMMAND) return LOWORD(wParam) != IDCANCEL;
    return message == WM_SYSCOMMAND && (wParam & 0xFFF0) < kFirstSystemCommand;
}

}  // namespace

CDialog::RunScope::RunScope(CDialog& dialog) : m_dialog(dialog) {
    if (m_dialog.m_nRuns++ == 0) AfxFrontEnd().RunBegins();
}

CDialog::RunScope::~RunScope() {
    if (--m_dialog.m_nRuns == 0) AfxFrontEnd().RunEnds();
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
    if (IsRunning() && DroppedDuringRun(message, wParam)) {
        if (handled != nullptr) *handled = true;
        return 0;
    }
    // Message boxes inside a handler may deliver nested messages: keep the outer one's state.
    UINT savedMessage = m_curMessage;
    WPARAM savedWParam = m_curWParam;
    LPARAM savedLParam = m_curLParam;
    m_curMessage = message;
    m_curWParam = wParam;
    m_curLParam = lParam;
    bool dummy = false;
    if (handled == nullptr) handled = &dummy;
    LRESULT result = 0;
    try {
        result = Dispatch(message, wParam, lParam, handled);
    } catch (const std::bad_alloc&) {
        *handled = true;
        AfxMessageBox("Out of memory.", MB_ICONEXCLAMATION | MB_SYSTEMMODAL);
    } catch (const CMemoryException&) {
        *handled = true;
        AfxMessageBox("Out of memory.", MB_ICONEXCLAMATION | MB_SYSTEMMODAL);
    } catch (const CException& e) {
        *handled = true;
        CString text = e.GetErrorMessage();
        AfxMessageBox(text.empty() ? CString("Internal application error.") : text, MB_ICONSTOP);
    } catch (const std::exception&) {
        *handled = true;
        AfxMessageBox("Internal application error.", MB_ICONSTOP);
    }
    m_curMessage = savedMessage;
    m_curWParam = savedWParam;
    m_curLParam = savedLParam;
    return result;
}

LRESULT CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
    *handled = true;
    if (message == WM_INITDIALOG) return HandleInitDialog();
    for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
        for (int i = 0; i < map->count; ++i) {
            const MessageMapEntry& entry = map->entries[i];
            if (entry.message != message) continue;
            if (message == WM_COMMAND &&
                (entry.code != HIWORD(wParam) || entry.id != static_cast<int>(LOWORD(wParam)))) {
                continue;
            }
            return entry.handler(*this, wParam, lParam);
        }
    }
    *handled = false;
    return 0;
}

LRESULT CDialog::HandleInitDialog() {
    bool wasVisible = m_pWindow != nullptr && m_pWindow->IsVisible();
    RECT before = m_pWindow != nullptr ? m_pWindow->GetWindowRect() : RECT{};
    BOOL result = OnInitDialog();
    if (m_pWindow == nullptr) return result;
    // A dialog that was not shown and not moved during its initialisation, is no child and has
    // no enabled owner is centred.
    RECT after = m_pWindow->GetWindowRect();
    bool moved = after.left != before.left || after.top != before.top;
    bool ownerAllows = m_pOwnerWindow == nullptr || !m_pOwnerWindow->IsEnabled();
    if (!wasVisible && !m_pWindow->IsVisible() && !m_pWindow->IsChild() && !moved && ownerAllows) {
        CentreWindow();
    }
    return result;
}

void CDialog::CentreWindow() {
    CFrontEnd& frontEnd = AfxFrontEnd();
    RECT rect = m_pWindow->GetWindowRect();
    LONG width = rect.right - rect.left;
    LONG height = rect.bottom - rect.top;

    const IDialogWindow* screenOf = m_pOwnerWindow;
    if (screenOf == nullptr) {
        if (CWinApp* app = AfxGetApp(); app != nullptr && app->m_pMainWnd != nullptr) {
            screenOf = app->m_pMainWnd->GetWindow();
        }
    }
    POINT at = CentredPosition(m_pOwnerWindow, frontEnd.GetWorkArea(screenOf), width, height);
    m_pWindow->MoveTo(at.x, at.y);
}

LRESULT DeliverToDialog(CDialog& dialog, IDialogWindow& window, UINT message, WPARAM wParam,
                        LPARAM lParam) {
    bool handled = false;
    LRESULT result = dialog.WindowProc(message, wParam, lParam, &handled);
    if (!handled) result = window.DefaultProc(message, wParam, lParam);
    return result;
}
