#include <gtest/gtest.h>

#include "app/updater_app.h"
#include "frontends/recording/recording_frontend.h"
#include "support/test_env.h"
#include "ui/res/resource.h"

namespace {

TEST(StartUp, InstallDirectoryGetsOneTrailingBackslash) {
    struct Case {
        const char* stored;
        const char* expected;
    } cases[] = {
        {"D:\\Apps", "D:\\Apps\\"},
        {"D:\\Apps\\", "D:\\Apps\\"},
        {"D:/Apps/", "D:/Apps/\\"},  // only a backslash counts
        {"", "\\"},
        {"C:\\Tamwix\\", "C:\\Tamwix\\"},
        {"x\\\\", "x\\\\"},
    };
    for (const Case& c : cases) EXPECT_EQ(WithTrailingBackslash(c.stored), c.expected) << c.stored;
}

// The whole run through the recording front end: settings read, dialog run, nothing left.
class StartUpRun : public ::testing::Test {
  protected:
    TempDir home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", home_.str().c_str()};
    ScopedRecordingFrontEnd ui_;
    CUpdaterApp app_;
};

TEST_F(StartUpRun, RunsTheDialogOnceAndEndsWithFalse) {
    app_.m_appName = "Upd";
    EXPECT_EQ(app_.StartUp(), FALSE);
    EXPECT_EQ(app_.m_companyKey, "Vantorel");
    EXPECT_EQ(app_.m_profileName, "Tamwix");
    EXPECT_EQ(app_.m_strDirectory, "C:\\Tamwix\\");
    EXPECT_EQ(app_.m_pMainWnd, nullptr);
    const auto& log = ui_.frontEnd.log;
    EXPECT_EQ(ui_.frontEnd.Lines("create").size(), 1u);
    EXPECT_EQ(ui_.frontEnd.Lines("loop").size(), 1u);
    EXPECT_EQ(log.back(), "destroy 102");
}

TEST_F(StartUpRun, MessageBoxesAreCaptionedWithTheApplicationName) {
    app_.m_appName = "Upd";
    ui_.frontEnd.script.push_back([](RecordingWindow& w) { w.Click(IDC_UPDATE); });
    {
        ScopedEnv host("KESTRIN_UPDATE_HOST", "127.0.0.1");
        ScopedEnv port("KESTRIN_UPDATE_PORT", "1");  // nothing listens there
        app_.StartUp();
    }
    ASSERT_EQ(ui_.frontEnd.Lines("box ").size(), 1u);
    EXPECT_EQ(ui_.frontEnd.Lines("box ")[0].rfind("box Upd [64]: ", 0), 0u);
}

}  // namespace
