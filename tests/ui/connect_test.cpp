// The dialog's connection against a real local FTP server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <string>

#include "app/updater_app.h"
#include "kestrin_config.h"
#include "support/ftp_server.h"
#include "frontends/recording/recording_frontend.h"
#include "support/test_env.h"
#include "ui/res/resource.h"
#include "ui/update_dialog.h"

namespace {

// The real connection; no version check or synchronisation behind it.
class ConnectOnlyDialog : public CUpdateDialog {
  public:
    void CheckVersion(bool) override {}
    void UpdateFiles() override {}
};

class DialogConnection : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!KESTRIN_SERVER_FROM_ENV)
            GTEST_SKIP() << "the build does not take the server from the environment";
        if (server_.Unavailable()) GTEST_SKIP() << server_.Error();
        ASSERT_TRUE(server_.Running()) << server_.Error();
        port_ = std::to_string(server_.Port());
        app_.m_appName = "kestrin";
    }
    int Run(ConnectOnlyDialog& dialog) {
        ScopedEnv host("KESTRIN_UPDATE_HOST", "127.0.0.1");
        ScopedEnv port("KESTRIN_UPDATE_PORT", port_.c_str());
        app_.m_pMainWnd = &dialog;
        dialog.m_strCmdLine = "kestrin";
        return dialog.RunModal();
    }
    // The log's events as "<connection> <event>", logins and connection ends only.
    std::vector<std::string> Lifecycle() const {
        std::vector<std::string> out;
        for (const FtpLogEntry& e : server_.Log()) {
            if (e.event == "connect" || e.event == "login" || e.event == "disconnect") {
                out.push_back(std::to_string(e.connection) + " " + e.event);
            }
        }
        return out;
    }
    FtpServer server_;
    std::string port_;
    ScopedRecordingFrontEnd ui_;
    CUpdaterApp app_;
};

TEST_F(DialogConnection, UpdatePressedTwiceHoldsAtMostOneConnection) {
    {
        ConnectOnlyDialog dialog;
        int held = -1;
        ui_.frontEnd.script.push_back([&](RecordingWindow& w) {
            w.Click(IDC_UPDATE);
            held = dialog.m_pConnection != nullptr;
        });
        ui_.frontEnd.script.push_back([](RecordingWindow& w) { w.Click(IDC_UPDATE); });
        Run(dialog);
        EXPECT_EQ(held, 1);
        EXPECT_TRUE(ui_.frontEnd.Messages().empty());
    }
    // The server writes its log as it goes; give it a moment to catch up with the client.
    std::vector<std::string> events;
    for (int i = 0; i < 100; ++i) {
        events = Lifecycle();
        if (std::count(events.begin(), events.end(), "2 disconnect") > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The first connection ended before the second logged in; the second ended with the dialog.
    auto at = [&](const std::string& e) { return std::find(events.begin(), events.end(), e); };
    ASSERT_NE(at("1 login"), events.end());
    ASSERT_NE(at("2 login"), events.end());
    EXPECT_LT(at("1 disconnect"), at("2 login"));
    EXPECT_EQ(server_.Connections(), 2);
}

TEST_F(DialogConnection, NoTrafficWithoutAnUpdate) {
    {
        ConnectOnlyDialog dialog;
        EXPECT_EQ(dialog.m_pConnection, nullptr);
        Run(dialog);  // closed at once, as the empty script closes it
    }
    EXPECT_EQ(server_.Connections(), 0);
    EXPECT_TRUE(server_.Log().empty());
}

TEST_F(DialogConnection, RefusedLoginIsZeroAndHoldsNothing) {
    FtpServerOptions options;
    options.refuseLogins = true;
    FtpServer refusing(options);
    if (refusing.Unavailable()) GTEST_SKIP() << refusing.Error();
    ASSERT_TRUE(refusing.Running());
    std::string port = std::to_string(refusing.Port());
    ScopedEnv host("KESTRIN_UPDATE_HOST", "127.0.0.1");
    ScopedEnv portEnv("KESTRIN_UPDATE_PORT", port.c_str());
    ConnectOnlyDialog dialog;
    EXPECT_EQ(dialog.Connect(), 0);
    EXPECT_EQ(dialog.m_pConnection, nullptr);
    EXPECT_TRUE(ui_.frontEnd.Messages().empty());
}

}  // namespace
