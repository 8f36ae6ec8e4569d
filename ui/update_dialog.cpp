#include "ui/update_dialog.h"

#include <cstring>
#include <optional>

#include "framework/diag_log.h"
#include "framework/winapp.h"
#include "net/update_server.h"
#include "ui/about_dialog.h"
#include "ui/res/resource.h"

namespace {

const char kNoConnectionForRequest[] =
    "The System could not connect to the internet.\nCould not check for new version at this "
    "time.";
const char kNoConnectionForUpdate[] =
    "An error occured while trying to connect to the server\nPlease check your connections and "
    "try again\n";

}  // namespace

CUpdateDialog::CUpdateDialog(CDialog* parent)
    : CDialog(IDD_UPDATE_DIALOG, parent),
      m_szTempPath{},
      m_hIcon(AfxFrontEnd().LoadIcon(IDR_MAINFRAME)),
      m_session(nullptr, 1, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0) {
    m_szTempPath[0] = '\0';
    GetTempPathA(MAX_PATH, m_szTempPath);
    m_run.tempDirectory = m_szTempPath;
    m_run.view = this;
    // A run and the window. The run stays on the window's thread, and whatever waits in it (the
    // transport's waits on the server, the waits between tries, the engine's pass through the
    // list) looks at the cancel token at least every CancelToken::kPollMs; the token's pulse
    // lets the front end pump then. So an uncancelled run shows exactly what it showed before,
    // in the same order, with its message boxes shown on the window's thread as before, the
    // engine and the test doubles that stand in for it stay single-threaded, and the engine
    // knows no front end. A worker thread would have had every status, progress change and
    // message box marshalled back in order, and every front end made safe for it. What this
    // choice cannot bound is a system call that blocks without a time-out of ours: on Windows,
    // InternetConnectA's own connect (bounded by the connect time-out).
    m_run.cancel = &m_cancel;
    m_cancel.SetPulse([this] { Pulse(); });
    m_session.Watch(&m_cancel);
}

void CUpdateDialog::Pulse() {
    if (std::this_thread::get_id() != m_windowThread || !IsRunning() || m_bPumping ||
        GetWindow() == nullptr) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastPump < FramePacer::kFrame) return;
    m_lastPump = now;
    m_bPumping = true;
    struct Done {
        bool& pumping;
        ~Done() { pumping = false; }
    } done{m_bPumping};
    AfxFrontEnd().Pump(*GetWindow());
}

void CUpdateDialog::OnCancel() {
    if (IsRunning()) m_cancel.Cancel();
    CDialog::OnCancel();
}

CUpdateDialog::~CUpdateDialog() {
    // The connection is closed before the session (a member, destroyed after this body).
    if (m_pConnection) m_pConnection->Close();
    m_pConnection.reset();
}

const MessageMap* CUpdateDialog::GetMessageMap() const {
    static const MessageMapEntry entries[] = {
        OnSysCommandEntry<CUpdateDialog, &CUpdateDialog::OnSysCommand>(),
        OnMessageEntry<CUpdateDialog, &CUpdateDialog::OnPaint>(WM_PAINT),
        OnQueryDragIconEntry<CUpdateDialog, &CUpdateDialog::OnQueryDragIcon>(),
        OnCommandEntry<CUpdateDialog, &CUpdateDialog::OnUpdate>(BN_CLICKED, IDC_UPDATE),
    };
    static const MessageMap map{CDialog::GetMessageMap(), entries,
                                static_cast<int>(std::size(entries))};
    return &map;
}

void CUpdateDialog::ExchangeData(CDataExchange* pDX) {
    CDialog::ExchangeData(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Text(pDX, IDC_STATUS, m_strStatus);
}

BOOL CUpdateDialog::OnInitDialog() {
    CDialog::OnInitDialog();

    // Command-line modes: a version check, then the dialog ends before it takes any input.
    // The dialog ends even when the check fails with an exception.
    struct EndAfterCheck {
        CDialog* dialog;
        bool armed = false;
        ~EndAfterCheck() {
            if (!armed) return;
            diag::Log("run ended");
            dialog->EndDialog(IDCANCEL);
        }
    } endAfterCheck{this};
    m_cancel.Reset();
    std::optional<RunScope> run;
    if (m_strCmdLine.find(kSilentCheckSwitch) != CString::npos) {
        diag::Log("run: ", kSilentCheckSwitch);
        run.emplace(*this);
        endAfterCheck.armed = true;
        Connect();
        CheckVersion(false);
    } else if (m_strCmdLine.find(kInteractiveCheckSwitch) != CString::npos) {
        diag::Log("run: ", kInteractiveCheckSwitch);
        endAfterCheck.armed = true;
        run.emplace(*this);
        if (Connect() != 0) {
            CheckVersion(true);
        } else if (!m_cancel.IsCancelled()) {
            AfxMessageBox(kNoConnectionForRequest, MB_ICONINFORMATION);
        }
    }
    run.reset();

    CString about = AfxFrontEnd().LoadString(IDS_ABOUTBOX);
    if (!about.empty() && GetWindow() != nullptr) {
        if (GetWindow()->AppendSystemMenu(MF_SEPARATOR, 0, nullptr)) {
            GetWindow()->AppendSystemMenu(MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }
    if (GetWindow() != nullptr) {
        GetWindow()->SetIcon(ICON_BIG, m_hIcon);
        GetWindow()->SetIcon(ICON_SMALL, m_hIcon);
    }
    return TRUE;
}

void CUpdateDialog::OnUpdate() {
    // Whatever happens during the run, the dialog is left usable: status cleared and the
    // button enabled again, also when an exception passes out of the run.
    struct RestoreAfterRun {
        CUpdateDialog* dialog;
        ~RestoreAfterRun() {
            diag::Log("run ended");
            try {
                dialog->SetStatus("");
            } catch (...) {
                // Clearing a text cannot reasonably fail; the button must come back anyway.
            }
            dialog->EnableDlgItem(IDC_UPDATE, true);
        }
    } restore{this};
    m_cancel.Reset();
    const RunScope run(*this);

    diag::Log("run: Update");
    EnableDlgItem(IDC_UPDATE, false);
    SetStatus("Connecting to Server");
    if (Connect() != 0) {
        SetStatus("Connected");
        CheckVersion(false);
        UpdateFiles();
    } else if (!m_cancel.IsCancelled()) {
        AfxMessageBox(kNoConnectionForUpdate, MB_ICONINFORMATION);
    }
}

void CUpdateDialog::SetStatus(CString status) {
    diag::Log("status: ", status);
    UpdateData(true);
    m_strStatus = status;
    UpdateData(false);
}

void CUpdateDialog::SetProgress(int position) {
    m_progress.SetPos(position);
}

int CUpdateDialog::Connect() {
    m_run.release.NewRun();
    m_run.transport = nullptr;
    if (m_pConnection) m_pConnection->Close();
    m_pConnection.reset();
    m_servers = CompiledUpdateServers(m_run.release.IsSigned());
    m_server = 0;
    return ConnectFrom(0) ? 1 : 0;
}

bool CUpdateDialog::ConnectFrom(size_t first) {
    // "Connecting to Server" is seen while the server is awaited.
    AfxFrontEnd().Flush();
    for (size_t i = first; i < m_servers.size(); ++i) {
        std::unique_ptr<CFtpConnection> connection;
        try {
            const UpdateServer& server = m_servers[i];
            connection.reset(m_session.OpenFtpConnection(server.host.c_str(), server.user.c_str(),
                                                         server.password.c_str(), server.port,
                                                         false));
        } catch (...) {
            // Every failure is the same to the callers: no connection. They say so themselves.
        }
        if (connection) {
            if (m_pConnection) m_pConnection->Close();
            m_pConnection = std::move(connection);
            m_server = i;
            m_shownConnection.NewServer();
            m_run.transport = &m_shownConnection;
            return true;
        }
    }
    return false;
}

bool CUpdateDialog::ShownConnection::NextServer() {
    // Only what the server did: a file the disk could not take fails on every server alike.
    const DWORD error = GetLastError();
    const bool server =
        ftp::IsInternetError(error) || error == ERROR_FILE_TOO_LARGE || error == ERROR_INVALID_DATA;
    if (!server || m_dialog.m_server + 1 >= m_dialog.m_servers.size()) {
        SetLastError(error);
        return false;
    }
    // The release verified on the first server stays this run's: what the next one serves is
    // held to it.
    return m_dialog.ConnectFrom(m_dialog.m_server + 1);
}

bool CUpdateDialog::ShownConnection::OnEachServer(const std::function<bool(bool again)>& fetch) {
    AfxFrontEnd().Flush();
    for (bool again = false;; again = true) {
        CFtpConnection& connection = *m_dialog.m_pConnection;
        const auto start = std::chrono::steady_clock::now();
        if (m_bReleaseFiles) connection.m_deadline = start + m_releaseTime - m_releaseSpent;
        const bool fetched = fetch(again);
        if (m_bReleaseFiles) {
            connection.m_deadline.reset();
            m_releaseSpent += std::chrono::steady_clock::now() - start;
        }
        if (fetched) return true;
        if (!NextServer()) return false;
    }
}

bool CUpdateDialog::ShownConnection::DownloadFile(const char* remotePath, const char* directory,
                                                  const char* name, bool failIfExists,
                                                  DWORD attributes, DWORD transferFlags,
                                                  DWORD_PTR context, net::IReceiveCheck* check,
                                                  ULONGLONG maxBytes) {
    return OnEachServer([&](bool again) {
        // The next server's file is judged afresh: nothing of the last one's bytes, hash or
        // refusal is held against it.
        if (again && check != nullptr && !check->Restart()) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return false;
        }
        return m_dialog.m_pConnection->DownloadFile(remotePath, directory, name, failIfExists,
                                                    attributes, transferFlags, context, check,
                                                    maxBytes);
    });
}

std::optional<IRemoteFiles::Bytes> CUpdateDialog::ShownConnection::FetchBytes(
    const char* remotePath, ULONGLONG maxBytes) {
    std::optional<Bytes> bytes;
    OnEachServer([&](bool) {
        bytes = m_dialog.m_pConnection->FetchBytes(remotePath, maxBytes);
        return bytes.has_value();
    });
    return bytes;
}

void CUpdateDialog::CheckVersion(bool interactive) {
    engine::CheckVersion(m_run, interactive);
}

void CUpdateDialog::UpdateFiles() {
    engine::UpdateFiles(m_run);
}

void CUpdateDialog::Flush() {
    AfxFrontEnd().Flush();
}

void CUpdateDialog::ShowMessage(const CString& text) {
    if (m_cancel.IsCancelled()) return;
    AfxMessageBox(text, MB_ICONINFORMATION);
}

void CUpdateDialog::OnSysCommand(UINT nID, LPARAM) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDialog about;
        about.RunModal();
    } else {
        Default();
    }
}

POINT IconicIconOrigin(const RECT& client, int iconWidth, int iconHeight) {
    LONG width = client.right - client.left;
    LONG height = client.bottom - client.top;
    return POINT{(width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2};
}

void CUpdateDialog::OnPaint() {
    IDialogWindow* window = GetWindow();
    if (window != nullptr && window->IsIconic()) {
        CFrontEnd& frontEnd = AfxFrontEnd();
        POINT origin =
            IconicIconOrigin(window->GetClientRect(), frontEnd.GetSystemMetrics(SM_CXICON),
                             frontEnd.GetSystemMetrics(SM_CYICON));
        window->PaintIconic(m_hIcon, origin.x, origin.y);
    } else {
        Default();
    }
}

HICON CUpdateDialog::OnQueryDragIcon() {
    return m_hIcon;
}
