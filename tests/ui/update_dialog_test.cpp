// The update dialog's behaviour through the recording front end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "app/updater_app.h"
#include "framework/exceptions.h"
#include "frontends/recording/recording_frontend.h"
#include "support/test_env.h"
#include "ui/res/resource.h"
#include "ui/update_dialog.h"

namespace {

const char kRequestNoConnection[] =
    "The System could not connect to the internet.\nCould not check for new version at this "
    "time.";
const char kUpdateNoConnection[] =
    "An error occured while trying to connect to the server\nPlease check your connections and "
    "try again\n";

// Stands in for the network and the engine: records what ran, fails or throws on request.
class ScriptedDialog : public CUpdateDialog {
  public:
    int connectResult = 0;
    bool throwInCheck = false;
    std::vector<std::string> calls;
    int Connect() override {
        calls.push_back("connect");
        return connectResult;
    }
    void CheckVersion(bool interactive) override {
        calls.push_back(interactive ? "check interactive" : "check silent");
        SetStatus("Checking version");
        if (throwInCheck) throw CFileException("Version.txt", 5);
    }
    void UpdateFiles() override {
        calls.push_back("update files");
        SetStatus("Completed- Press Cancel");
    }
};

class UpdateDialog : public ::testing::Test {
  protected:
    UpdateDialog() { app_.m_appName = "kestrin"; }
    int Run(CUpdateDialog& dialog, const std::string& commandLine) {
        app_.m_pMainWnd = &dialog;
        dialog.m_strCmdLine = commandLine;
        return dialog.RunModal();
    }
    RecordingFrontEnd& ui() { return ui_.frontEnd; }
    TempDir home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", home_.str().c_str()};
    ScopedRecordingFrontEnd ui_;
    CUpdaterApp app_;
};

TEST_F(UpdateDialog, CommandLineModes) {
    struct Case {
        const char* line;
        int connect;
        std::vector<std::string> calls;
        std::vector<std::string> messages;
    } cases[] = {
        {"kestrin.exe UPDATE_NOREQUEST", 0, {"connect", "check silent"}, {}},
        {"kestrin.exe UPDATE_NOREQUEST", 1, {"connect", "check silent"}, {}},
        {"kestrin.exe UPDATE_REQUEST", 0, {"connect"}, {kRequestNoConnection}},
        {"kestrin.exe UPDATE_REQUEST", 1, {"connect", "check interactive"}, {}},
        // Both: the silent check wins, whichever comes first.
        {"kestrin.exe UPDATE_REQUEST UPDATE_NOREQUEST", 0, {"connect", "check silent"}, {}},
        // Anywhere in the raw line, even inside the program's own path or a longer word.
        {"\"C:\\UPDATE_REQUEST dir\\kestrin.exe\"", 0, {"connect"}, {kRequestNoConnection}},
        {"kestrin.exe xxUPDATE_NOREQUESTxx", 0, {"connect", "check silent"}, {}},
    };
    for (const Case& c : cases) {
        ui().log.clear();
        ScriptedDialog dialog;
        dialog.connectResult = c.connect;
        EXPECT_EQ(Run(dialog, c.line), IDCANCEL) << c.line;
        EXPECT_EQ(dialog.calls, c.calls) << c.line;
        EXPECT_EQ(ui().Messages(), c.messages) << c.line;
        // The dialog never took input: its modal loop never ran and it was never shown.
        EXPECT_TRUE(ui().Lines("loop").empty()) << c.line;
        EXPECT_TRUE(ui().Lines("show").empty()) << c.line;
        EXPECT_EQ(ui().log.back(), "destroy 102") << c.line;
    }
}

TEST_F(UpdateDialog, WithoutASwitchTheDialogWaitsForTheUser) {
    for (const char* line : {"kestrin.exe", "kestrin.exe update_request", "kestrin.exe UPDATE",
                             "kestrin.exe Update_NoRequest"}) {
        ui().log.clear();
        ScriptedDialog dialog;
        EXPECT_EQ(Run(dialog, line), IDCANCEL);
        EXPECT_TRUE(dialog.calls.empty()) << line;
        EXPECT_EQ(ui().Lines("loop").size(), 1u) << line;
    }
}

TEST_F(UpdateDialog, InitialisationAddsTheAboutEntryAndIcons) {
    ScriptedDialog dialog;
    Run(dialog, "kestrin");
    auto& log = ui().log;
    auto at = [&](const std::string& line) {
        return std::find(log.begin(), log.end(), line) - log.begin();
    };
    EXPECT_LT(at("menu separator"), at("menu 16: &About Kestrin..."));
    EXPECT_LT(at("menu 16: &About Kestrin..."), at("icon 1"));
    EXPECT_LT(at("icon 1"), at("icon 0"));  // big, then small
    EXPECT_LT(at("icon 0"), at("loop 102"));
    // The status line starts empty: the first exchange wrote the empty member.
    EXPECT_EQ(ui().Lines("text 1001")[0], "text 1001: ");
}

TEST_F(UpdateDialog, UpdateRunWithoutConnection) {
    ScriptedDialog dialog;
    bool disabledDuringBox = false;
    ui().onMessageBox = [&](const CString&) {
        disabledDuringBox = !ui().windows.back()->IsItemEnabled(IDC_UPDATE);
    };
    ui().script.push_back([](RecordingWindow& w) { w.Click(IDC_UPDATE); });
    ui().script.push_back([](RecordingWindow& w) {
        EXPECT_TRUE(w.IsItemEnabled(IDC_UPDATE));
        EXPECT_EQ(w.GetItemText(IDC_STATUS), "");
    });
    Run(dialog, "kestrin");
    EXPECT_TRUE(disabledDuringBox);
    EXPECT_EQ(dialog.calls, (std::vector<std::string>{"connect"}));
    std::vector<std::string> run(std::find(ui().log.begin(), ui().log.end(), "enable 1002: 0"),
                                 ui().log.end());
    ASSERT_GE(run.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(run.begin(), run.begin() + 5),
              (std::vector<std::string>{"enable 1002: 0", "text 1001: Connecting to Server",
                                        std::string("box kestrin [64]: ") + kUpdateNoConnection,
                                        "text 1001: ", "enable 1002: 1"}));
}

TEST_F(UpdateDialog, UpdateRunWithConnectionRunsCheckThenFiles) {
    ScriptedDialog dialog;
    dialog.connectResult = 1;
    ui().script.push_back([](RecordingWindow& w) { w.Click(IDC_UPDATE); });
    ui().script.push_back([](RecordingWindow& w) { w.Click(IDC_UPDATE); });
    Run(dialog, "kestrin");
    EXPECT_EQ(dialog.calls, (std::vector<std::string>{"connect", "check silent", "update files",
                                                      "connect", "check silent", "update files"}));
    EXPECT_EQ(
        ui().Lines("text 1001"),
        (std::vector<std::string>{
            "text 1001: ", "text 1001: Connecting to Server", "text 1001: Connected",
            "text 1001: Checking version", "text 1001: Completed- Press Cancel",
            "text 1001: ", "text 1001: Connecting to Server", "text 1001: Connected",
            "text 1001: Checking version", "text 1001: Completed- Press Cancel", "text 1001: "}));
    EXPECT_TRUE(ui().Messages().empty());
}

TEST_F(UpdateDialog, ExceptionDuringARunLeavesTheDialogUsable) {
    ScriptedDialog dialog;
    dialog.connectResult = 1;
    dialog.throwInCheck = true;
    ui().script.push_back([](RecordingWindow& w) { w.Click(IDC_UPDATE); });
    ui().script.push_back([](RecordingWindow& w) {
        EXPECT_TRUE(w.IsItemEnabled(IDC_UPDATE));
        EXPECT_EQ(w.GetItemText(IDC_STATUS), "");
        w.Click(IDC_UPDATE);  // and it runs again
    });
    Run(dialog, "kestrin");
    EXPECT_EQ(std::count(dialog.calls.begin(), dialog.calls.end(), "connect"), 2);
    // The files were not synchronised after the failed check; the error was shown.
    EXPECT_EQ(std::count(dialog.calls.begin(), dialog.calls.end(), "update files"), 0);
    ASSERT_EQ(ui().Lines("box ").size(), 2u);
    EXPECT_NE(ui().Lines("box ")[0].find("[16]: "), std::string::npos);  // the stop icon
    EXPECT_NE(ui().Lines("box ")[0].find("Version.txt"), std::string::npos);
}

TEST_F(UpdateDialog, ExceptionDuringACommandLineModeStillEndsTheDialog) {
    ScriptedDialog dialog;
    dialog.connectResult = 1;
    dialog.throwInCheck = true;
    EXPECT_EQ(Run(dialog, "kestrin UPDATE_REQUEST"), IDCANCEL);
    EXPECT_TRUE(ui().Lines("loop").empty());
    EXPECT_EQ(ui().Lines("box ").size(), 1u);
}

TEST_F(UpdateDialog, SystemCommands16To31OpenTheAboutBox) {
    ScriptedDialog dialog;
    for (UINT command = 0; command < 48; ++command) {
        ui().script.push_back(
            [command](RecordingWindow& w) { w.Deliver(WM_SYSCOMMAND, command, 0); });
        // An About box that opened takes the next action in its own modal loop: its OK.
        if (command >= 16 && command < 32) {
            ui().script.push_back([](RecordingWindow& w) {
                EXPECT_EQ(w.Model().Template().id, 100);
                w.Click(IDOK);
            });
        }
    }
    Run(dialog, "kestrin");
    // Each About box ran its own modal loop (closed by the empty script of its loop).
    EXPECT_EQ(ui().Lines("create 100").size(), 16u);
    EXPECT_EQ(ui().Lines("loop 100").size(), 16u);
    // The others went to the window's default handling.
    EXPECT_EQ(ui().Lines("default 274").size(), 32u);
}

TEST_F(UpdateDialog, AboutBoxIsOwnedByTheDialogAndCentredOverIt) {
    ScriptedDialog dialog;
    ui().workArea = RECT{0, 0, 1000, 700};
    ui().script.push_back([](RecordingWindow& w) { w.Deliver(WM_SYSCOMMAND, IDM_ABOUTBOX, 0); });
    Run(dialog, "kestrin");
    std::vector<std::string> expected = {
        "move 260,306",  // 480 × 88 dialog in the work area
        "window 102 disabled",
        "move 324,306",  // 353 × 89 About box over the dialog
        "window 102 enabled",
    };
    std::vector<std::string> seen;
    for (const std::string& line : ui().log) {
        if (line.rfind("move", 0) == 0 || line.rfind("window 102", 0) == 0) seen.push_back(line);
    }
    EXPECT_EQ(seen, expected);
}

TEST_F(UpdateDialog, CentringIsPulledBackInsideTheWorkArea) {
    ScriptedDialog dialog;
    ui().workArea = RECT{100, 50, 400, 120};  // smaller than the dialog
    Run(dialog, "kestrin");
    EXPECT_EQ(ui().Lines("move"), (std::vector<std::string>{"move 100,50"}));
}

TEST_F(UpdateDialog, EscapeAndCloseEndWithCancel) {
    for (int way = 0; way < 2; ++way) {
        ScriptedDialog dialog;
        ui().script.push_back([way](RecordingWindow& w) {
            if (way == 0) {
                w.Click(IDCANCEL);
            } else {
                w.Deliver(WM_SYSCOMMAND, SC_CLOSE, 0);
            }
        });
        ui().script.push_back([](RecordingWindow&) { ADD_FAILURE() << "still open"; });
        EXPECT_EQ(Run(dialog, "kestrin"), IDCANCEL);
        ui().script.clear();
    }
}

TEST_F(UpdateDialog, WindowThatCannotBeCreatedGivesMinusOne) {
    ScriptedDialog dialog;
    ui().failCreate = true;
    EXPECT_EQ(Run(dialog, "kestrin UPDATE_REQUEST"), -1);
    EXPECT_TRUE(dialog.calls.empty());
}

TEST(IconicIcon, CentredWithoutClamping) {
    struct Case {
        RECT client;
        int icon;
        LONG x, y;
    } cases[] = {
        {{0, 0, 160, 31}, 32, 64, 0},  // (31 − 32 + 1) / 2 = 0
        {{0, 0, 20, 20}, 32, -5, -5},  // (20 − 32 + 1) / 2 = −11 / 2, truncated toward zero
        {{0, 0, 0, 0}, 32, -15, -15},
        {{0, 0, 33, 34}, 32, 1, 1},
    };
    for (const Case& c : cases) {
        POINT p = IconicIconOrigin(c.client, c.icon, c.icon);
        EXPECT_EQ(p.x, c.x);
        EXPECT_EQ(p.y, c.y);
    }
}

TEST_F(UpdateDialog, MinimisedWindowPaintsItsIconCentred) {
    ScriptedDialog dialog;
    ui().script.push_back([](RecordingWindow& w) {
        w.Model().iconic = true;
        w.Model().client = RECT{0, 0, 20, 20};
        w.Deliver(WM_PAINT, 0, 0);
        w.Model().iconic = false;
        w.Model().client = RECT{0, 0, 480, 88};
        w.Deliver(WM_PAINT, 0, 0);
        EXPECT_EQ(w.Deliver(WM_QUERYDRAGICON, 0, 0),
                  reinterpret_cast<LRESULT>(AfxFrontEnd().LoadIcon(IDR_MAINFRAME)));
    });
    Run(dialog, "kestrin");
    EXPECT_EQ(ui().Lines("paint"), (std::vector<std::string>{"paint -5,-5"}));
    EXPECT_EQ(ui().Lines("default 15").size(), 1u);  // the ordinary paint went on as usual
}

// Stands in for the engine's pass through a list: steps until the run is stopped (or the front
// end was pumped ten times, or 10 s passed), looking at the token between steps as the engine
// does, then says something as a failed run would.
class SteppingDialog : public CUpdateDialog {
  public:
    int connectResult = 1;
    bool stopped = false;
    int connects = 0;
    int Connect() override {
        ++connects;
        // A connect that waits on the server looks at the token while it waits.
        if (connectResult == 0) Steps();
        return connectResult;
    }
    void CheckVersion(bool) override {}
    void UpdateFiles() override {
        Steps();
        ShowMessage("after the list");
    }

  private:
    void Steps() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stopped && AfxFrontEndPumps() < 10 && std::chrono::steady_clock::now() < end) {
            stopped = engine::Stopped(m_run);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }
    static int AfxFrontEndPumps() { return static_cast<RecordingFrontEnd&>(AfxFrontEnd()).pumps; }
};

TEST_F(UpdateDialog, DuringARunOnlyWhatEndsTheDialogIsTaken) {
    struct Case {
        const char* name;
        int connect;  // 0: the run waits in its connect
        std::function<void(RecordingWindow&)> action;
        bool stops;
    } cases[] = {
        {"Cancel", 1, [](RecordingWindow& w) { w.Click(IDCANCEL); }, true},
        {"the close box", 1, [](RecordingWindow& w) { w.SysCommand(SC_CLOSE); }, true},
        {"Cancel while connecting", 0, [](RecordingWindow& w) { w.Click(IDCANCEL); }, true},
        {"Update", 1, [](RecordingWindow& w) { w.Click(IDC_UPDATE); }, false},
        {"About", 1, [](RecordingWindow& w) { w.SysCommand(IDM_ABOUTBOX); }, false},
    };
    for (const Case& c : cases) {
        ui().log.clear();
        SteppingDialog dialog;
        dialog.connectResult = c.connect;
        ui().script = {[](RecordingWindow& w) { w.Click(IDC_UPDATE); }};
        ui().onPump = [&](RecordingWindow& w, int pump) {
            if (pump == 3) c.action(w);
        };
        EXPECT_EQ(Run(dialog, "kestrin"), IDCANCEL) << c.name;
        EXPECT_EQ(dialog.connects, 1) << c.name;  // no second run
        EXPECT_GE(ui().pumps, 3) << c.name;
        EXPECT_EQ(dialog.stopped, c.stops) << c.name;
        EXPECT_EQ(ui().Lines("create " + std::to_string(IDD_ABOUTBOX)).size(), 0u) << c.name;
        // A stopped run says nothing more, not even that it could not connect.
        EXPECT_EQ(ui().Messages().empty(), c.stops) << c.name;
        // The dialog ended as Cancel ends it, the run's end tidied up as ever.
        EXPECT_EQ(ui().Lines("text 1001").back(), "text 1001: ") << c.name;
    }
    ui().onPump = nullptr;
}

}  // namespace
