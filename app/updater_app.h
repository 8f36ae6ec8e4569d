// The application object: the program's start-up, and the settings store it offers.
#pragma once

#include "framework/winapp.h"
#include "settings/settings_store.h"

class CUpdaterApp : public CWinApp, public CSettingsStore {
  public:
    // updateKey: the publisher's public key the program was built with (empty: none).
    explicit CUpdaterApp(const char* updateKey = "");
    ~CUpdaterApp() override;

    // The whole run: names the settings store, reads the install directory, runs the update
    // dialog with the raw command line and the run context (the product directory, the
    // settings, the release with the program's key). Always FALSE.
    BOOL StartUp() override;

    // The install directory, ending in a backslash.
    CString m_strDirectory;
    CString m_strUpdateKey;
};

// Appends a backslash unless the text already ends in one (an empty text becomes "\").
CString WithTrailingBackslash(CString directory);
