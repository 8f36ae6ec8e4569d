// The update dialog: the program's one window. It owns the internet session and the FTP
// connection, holds the temporary directory, and runs the version check and the file-list
// synchronisation from its Update button or from the command-line switches.
#pragma once

#include <memory>

#include "engine/server_release.h"
#include "engine/update_host.h"
#include "framework/dialog.h"
#include "net/internet.h"

// The command-line switches that the dialog looks for anywhere in the raw line: a silent version
// check (only a newer release is announced) and an interactive one.
inline constexpr char kSilentCheckSwitch[] = "UPDATE_NOREQUEST";
inline constexpr char kInteractiveCheckSwitch[] = "UPDATE_REQUEST";

class CUpdateDialog : public CDialog, public IUpdateHost {
  public:
    // Opens the internet session; raises CInternetException when it cannot be opened.
    explicit CUpdateDialog(CDialog* parent = nullptr);
    ~CUpdateDialog() override;

    // Replaces the status line's text.
    void SetStatus(CString status) override;
    // The three operations are virtual only so that tests can stand in for them.
    // Releases the held connection, then connects and logs in to the update server: 1 when a
    // connection is held afterwards, 0 after any failure at all (nothing is shown). Either way
    // a new run begins: a signed program verifies the server's release anew.
    virtual int Connect();
    virtual void CheckVersion(bool interactive);
    virtual void UpdateFiles();

    CString m_strCmdLine;
    // The install directory, ending in a backslash; given by the application before the run.
    CString m_strDirectory;
    CProgressCtrl m_progress;
    CString m_strStatus;
    char m_szTempPath[MAX_PATH];
    HICON m_hIcon;
    std::unique_ptr<CFtpConnection> m_pConnection;
    CInternetSession m_session;
    // The release on the server as the current run sees it; the application gives it the
    // program's key before the run.
    engine::ServerRelease m_release;

    // IUpdateHost
    IRemoteFiles* Connection() override { return m_pConnection ? &m_shownConnection : nullptr; }
    const char* TempPath() const override { return m_szTempPath; }
    CProgressCtrl& Progress() override { return m_progress; }
    void ShowMessage(const CString& text) override;
    CString ReadSetting(const char* section, const char* entry, const char* defaultValue) override;
    bool WriteSetting(const char* section, const char* entry, const CString& value) override;
    CString InstallDirectory() const override { return m_strDirectory; }
    engine::ServerRelease& Release() override { return m_release; }

    // Handlers (public so that tests can drive them as the front end would).
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HICON OnQueryDragIcon();
    void OnUpdate();

  protected:
    // The held connection as the engine fetches through it: whatever the run set is shown
    // before a transfer waits on the server (the front end may hold back a change that came
    // within a frame of the last one).
    class ShownConnection final : public IRemoteFiles {
      public:
        explicit ShownConnection(CUpdateDialog& dialog) : m_dialog(dialog) {}
        bool DownloadFile(const char* remotePath, const char* localPath, bool failIfExists,
                          DWORD attributes, DWORD transferFlags, DWORD_PTR context,
                          const char* below, net::IReceiveCheck* check) override;
        bool Settle() override { return m_dialog.m_pConnection->Settle(); }

      private:
        CUpdateDialog& m_dialog;
    };
    ShownConnection m_shownConnection{*this};

    const MessageMap* GetMessageMap() const override;
    void ExchangeData(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
};

// Where the minimised window draws its icon: centred, with (client − icon + 1) / 2 in signed
// arithmetic truncating toward zero, unclamped (negative when the client area is the smaller).
POINT IconicIconOrigin(const RECT& client, int iconWidth, int iconHeight);
