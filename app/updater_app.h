// The application object.
#pragma once

#include "framework/winapp.h"

class CUpdaterApp : public CWinApp {
  public:
    // updateKey: the publisher's public key the program was built with (empty: none).
    explicit CUpdaterApp(const char* updateKey = "");
    ~CUpdaterApp() override;

    // The whole run: names the settings store, reads the install directory, runs the update
    // dialog with the raw command line and the program's key. Always FALSE.
    BOOL StartUp() override;

    // The install directory, ending in a backslash.
    CString m_strDirectory;
    CString m_strUpdateKey;
};

// Appends a backslash unless the text already ends in one (an empty text becomes "\").
CString WithTrailingBackslash(CString directory);
