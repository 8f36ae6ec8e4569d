// The application object: its name, its settings-store names and its start-up.
#pragma once

#include <optional>

#include "cstring.h"
#include "platform/handle_owners.h"
#include "platform/win32api.h"
#include "wnd.h"

class CWinApp {
  public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The framework's start-up: takes the application name from the executable's file name
    // (without directory and extension), sets the process error mode, makes the INI fallback
    // the settings store, then calls StartUp; when that returns FALSE, the run is over.
    // Returns the process exit status (0).
    int Run();

    // The whole program run. FALSE ends the process.
    virtual BOOL StartUp() = 0;

    // A modal message box captioned with the application name, over the window of the main
    // dialog when it has one.
    int DoMessageBox(const CString& text, UINT style);

    // The settings store (settings/): registry reads under Software\company\profile once a
    // company key is set, INI-file reads before.
    void SetCompanyKey(const char* company);
    CString ReadSetting(const char* section, const char* entry, const char* defaultValue);
    // Stores value as the entry's text (REG_SZ) in the section, making the keys that are
    // missing; false when it could not be stored. Only the registry is written: before a
    // company key is named, nothing is.
    bool WriteSetting(const char* section, const char* entry, const CString& value);
    // Software\company\profile, created when missing; empty when any step fails.
    RegKey OpenAppKey();
    // The section key under it, created when missing; empty when it cannot be had.
    RegKey OpenSectionKey(const char* section);

    CString m_appName;
    std::optional<CString> m_companyKey;  // none until SetCompanyKey
    CString m_profileName;
    CWnd* m_pMainWnd = nullptr;
};

// The one application object.
CWinApp* AfxGetApp();
// A message box through the application (style 64 unless told otherwise).
int AfxMessageBox(const CString& text, UINT style = MB_ICONINFORMATION);
