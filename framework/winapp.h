// The application object: its name, its main window and its start-up. (The program's own
// application object also offers the settings store: settings/settings_store.h.)
#pragma once

#include "cstring.h"
#include "platform/win32api.h"
#include "wnd.h"

class CWinApp {
  public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The framework's start-up: takes the application name from the executable's file name
    // (without directory and extension), sets the process error mode, then calls StartUp.
    // There is no message loop of the framework's own, so the run is over when StartUp returns,
    // whatever it returns. Returns the process exit status (0).
    int Run();

    // The whole program run; the process ends after it.
    virtual BOOL StartUp() = 0;

    // A modal message box captioned with the application name, over the window of the main
    // dialog when it has one.
    int DoMessageBox(const CString& text, UINT style);

    CString m_appName;
    CWnd* m_pMainWnd = nullptr;
};

// The one application object.
CWinApp* AfxGetApp();
// A message box through the application (style 64 unless told otherwise).
int AfxMessageBox(const CString& text, UINT style = MB_ICONINFORMATION);
