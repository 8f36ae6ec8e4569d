// The update dialog: the program's one window. It owns the internet session and the FTP
// connection, holds the temporary directory and the run context that the application gives
// it, and runs the version check and the file-list synchronisation from its Update button or
// from the command-line switches, showing what they report.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "engine/run_context.h"
#include "framework/dialog.h"
#include "net/internet.h"
#include "net/update_server.h"

// The command-line switches that the dialog looks for anywhere in the raw line: a silent version
// check (only a newer release is announced) and an interactive one.
inline constexpr char kSilentCheckSwitch[] = "UPDATE_NOREQUEST";
inline constexpr char kInteractiveCheckSwitch[] = "UPDATE_REQUEST";

class CUpdateDialog : public CDialog, public engine::IRunView {
  public:
    // Opens the internet session; raises CInternetException when it cannot be opened.
    explicit CUpdateDialog(CDialog* parent = nullptr);
    ~CUpdateDialog() override;

    // Replaces the status line's text.
    void SetStatus(CString status) override;
    // Moves the progress bar.
    void SetProgress(int position) override;
    // An information box captioned with the application name; none once the user cancelled the
    // run (the dialog is ending).
    void ShowMessage(const CString& text) override;
    // Has the front end show what was set so far.
    void Flush() override;
    // The three operations are virtual only so that tests can stand in for them.
    // Releases the held connection, then connects and logs in to the update server (a signed
    // program, which may take its release from anywhere, to the first of it and its mirrors that
    // can be reached): 1 when a connection is held afterwards, 0 after any failure at all
    // (nothing is shown). Either way a new run begins: a signed program verifies the server's
    // release anew.
    virtual int Connect();
    virtual void CheckVersion(bool interactive);
    virtual void UpdateFiles();

    CString m_strCmdLine;
    CProgressCtrl m_progress;
    CString m_strStatus;
    char m_szTempPath[MAX_PATH];
    HICON m_hIcon;
    std::unique_ptr<CFtpConnection> m_pConnection;
    CInternetSession m_session;
    // The servers of this run, and the one the held connection is to.
    std::vector<UpdateServer> m_servers;
    size_t m_server = 0;
    // What the engine is handed: the application builds it before the run (the product
    // directory, the temporary directory, the settings, this dialog as the view, the release
    // with the program's key); Connect gives it each run's connection, and the dialog its
    // cancel token, which Cancel sets.
    engine::RunContext m_run;
    CancelToken m_cancel;

    // Handlers (public so that tests can drive them as the front end would).
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HICON OnQueryDragIcon();
    void OnUpdate();

  protected:
    // Cancel, Escape or closing the window; during a run it also stops the run.
    void OnCancel() override;

    // The token's pulse: on the window's thread during a run, lets the front end pump (a frame
    // apart at most).
    void Pulse();

    // The held connection as the engine fetches through it: whatever the run set is shown
    // before a transfer waits on the server (the front end may hold back a change that came
    // within a frame of the last one).
    class ShownConnection final : public IRemoteFiles {
      public:
        explicit ShownConnection(CUpdateDialog& dialog)
            : m_dialog(dialog),
              m_releaseTime(std::chrono::milliseconds(CompiledReleaseFilesDeadlineMs())) {}
        bool DownloadFile(const char* remotePath, const char* directory, const char* name,
                          bool failIfExists, DWORD attributes, DWORD transferFlags,
                          DWORD_PTR context, net::IReceiveCheck* check,
                          ULONGLONG maxBytes) override;
        std::optional<Bytes> FetchBytes(const char* remotePath, ULONGLONG maxBytes) override;
        bool Settle() override { return m_dialog.m_pConnection->Settle(); }
        // Further connections go to the server the run holds now.
        std::unique_ptr<IRemoteFiles> Further() override {
            return m_dialog.m_pConnection->Further();
        }
        // The release's own files share one time a server (CompiledReleaseFilesDeadlineMs).
        void ReleaseFiles(bool on) override { m_bReleaseFiles = on; }
        // Another server is held: the release's files have their whole time there.
        void NewServer() { m_releaseSpent = {}; }

      private:
        // After a fetch failed for a reason of the server (it could not be reached, broke off,
        // refused, or served what the release does not record): whether a further server of
        // the run is now held, to ask again. The failure's error otherwise stays the last.
        bool NextServer();
        // Runs fetch over the held connection and then, while it fails for a reason of the
        // server, over the next server (again: not the first); the release's own files within
        // what is left of their time on each.
        bool OnEachServer(const std::function<bool(bool again)>& fetch);

        CUpdateDialog& m_dialog;
        const std::chrono::steady_clock::duration m_releaseTime;
        bool m_bReleaseFiles = false;
        // What the release's files took so far on the server held.
        std::chrono::steady_clock::duration m_releaseSpent{};
    };
    ShownConnection m_shownConnection{*this};

    // Holds a connection to the first server of the run from index first on that can be
    // reached, in place of the one held before; false when none can, the one held before (if
    // any) still held.
    bool ConnectFrom(size_t first);

    const MessageMap* GetMessageMap() const override;
    void ExchangeData(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

  private:
    std::thread::id m_windowThread = std::this_thread::get_id();
    std::chrono::steady_clock::time_point m_lastPump{};
    bool m_bPumping = false;
};

// Where the minimised window draws its icon: centred, with (client − icon + 1) / 2 in signed
// arithmetic truncating toward zero, unclamped (negative when the client area is the smaller).
POINT IconicIconOrigin(const RECT& client, int iconWidth, int iconHeight);
