// The application object.
#pragma once

#include "framework/winapp.h"

class CUpdaterApp : public CWinApp {
  public:
    CUpdaterApp();
    ~CUpdaterApp() override;

    // The whole run: names the settings store, reads the install directory, runs the update
    // dialog with the raw command line. Always FALSE.
    BOOL StartUp() override;

    // The install directory, ending in a backslash.
    CString m_strDirectory;
};

// Appends a backslash unless the text already ends in one (an empty text becomes "\").
CString WithTrailingBackslash(CString directory);
