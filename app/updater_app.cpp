#include "app/updater_app.h"

#include <optional>
#include <string>

#include "framework/diag_log.h"
#include "kestrin_config.h"
#include "net/transfer_log.h"
#include "platform/file_stamp.h"
#include "ui/update_dialog.h"

CString WithTrailingBackslash(CString directory) {
    if (directory.empty() || directory.back() != '\\') directory += '\\';
    return directory;
}

CUpdaterApp::CUpdaterApp(const char* updateKey)
    : CSettingsStore(m_appName), m_strUpdateKey(updateKey) {}

CUpdaterApp::~CUpdaterApp() = default;

BOOL CUpdaterApp::StartUp() {
    SetCompanyKey(KESTRIN_COMPANY_KEY);
    m_profileName = KESTRIN_UPDATE_PRODUCT;

    CString commandLine = GetCommandLineA();
    net::TraceTransport();
    diag::Log("kestrin ", KESTRIN_VERSION, " started: ", commandLine);
    m_strDirectory = WithTrailingBackslash(
        ReadSetting("FILES", "Directory", "C:\\" KESTRIN_UPDATE_PRODUCT "\\"));

    // The dialog opens its internet session as it is built; without one there is nothing the
    // updater can do, so it says why and ends.
    std::optional<CUpdateDialog> dialog;
    try {
        dialog.emplace(nullptr);
    } catch (const CInternetException& e) {
        AfxMessageBox("The updater could not start its internet session (error " +
                          std::to_string(e.m_errorCode) + ").",
                      MB_ICONINFORMATION);
        return FALSE;
    }
    m_pMainWnd = &*dialog;
    dialog->m_strCmdLine = commandLine;
    // The one way down to the engine: what it works on, handed over once.
    engine::RunContext& run = dialog->m_run;
    run.productDirectory = m_strDirectory + engine::kProductSubdirectory;
    run.settings = this;
    run.release = engine::ServerRelease(m_strUpdateKey);
    run.transferConnections = CompiledTransferConnections();
    // Only a signed program holds its copies to their content, and keeps what it hashed.
    if (run.release.IsSigned()) run.cacheDirectory = files::CacheDirectory().value_or("");
    dialog->RunModal();
    diag::Log("kestrin ended");
    // The dialog's window record is cleared when its window goes; make sure no stale pointer
    // outlives the object when the run failed before a window existed.
    m_pMainWnd = nullptr;
    return FALSE;
}
