#include "framework/winapp.h"

#include "framework/diag_log.h"
#include "framework/frontend.h"

namespace {
CWinApp* g_app = nullptr;

// The executable's file name without directory and extension.
CString NameFromModulePath(const CString& path) {
    size_t slash = path.find_last_of("\\/");
    CString name = slash == CString::npos ? path : path.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    if (dot != CString::npos && dot > 0) name.erase(dot);
    return name;
}
}  // namespace

CWinApp* AfxGetApp() {
    return g_app;
}

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

int CWinApp::Run() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    m_appName = NameFromModulePath(CString(path, length < MAX_PATH ? length : 0));
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // StartUp is the whole run. No message loop of our own follows it, whatever it returns:
    // the run is over, and the default exit writes nothing.
    StartUp();
    return 0;
}

int CWinApp::DoMessageBox(const CString& text, UINT style) {
    IDialogWindow* owner = m_pMainWnd != nullptr ? m_pMainWnd->GetWindow() : nullptr;
    return AfxFrontEnd().MessageBox(owner, text, m_appName, style);
}

int AfxMessageBox(const CString& text, UINT style) {
    diag::Log("message box: ", text);
    if (CWinApp* app = AfxGetApp(); app != nullptr) return app->DoMessageBox(text, style);
    return AfxFrontEnd().MessageBox(nullptr, text, CString(), style);
}
