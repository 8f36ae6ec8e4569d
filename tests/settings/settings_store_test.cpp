// The settings store through the registry functions of whichever system runs the test.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/updater_app.h"
#include "platform/win32api.h"
#include "support/test_env.h"

namespace {

bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

class SettingsStore : public ::testing::Test {
  protected:
    void SetUp() override {
        // A company of its own for each test, so that the keys are fresh on any registry.
        company_ = "KestrinTest" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        app_.m_appName = "kestrin";
        app_.SetCompanyKey(company_.c_str());
    }
    TempDir home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", home_.str().c_str()};
    CUpdaterApp app_;
    std::string company_;
};

TEST_F(SettingsStore, FirstReadCreatesTheEmptyKeysAndYieldsTheDefault) {
    EXPECT_EQ(app_.m_profileName, "kestrin");
    EXPECT_FALSE(KeyExists("Software\\" + company_));

    EXPECT_EQ(app_.ReadSetting("FILES", "Directory", "C:\\Tamwix\\"), "C:\\Tamwix\\");

    EXPECT_TRUE(KeyExists("Software\\" + company_ + "\\kestrin\\FILES"));
    // Only the section that was read appears.
    EXPECT_FALSE(KeyExists("Software\\" + company_ + "\\kestrin\\Update"));
    // Every read walks the path anew: a second read gives the same and creates nothing more.
    EXPECT_EQ(app_.ReadSetting("FILES", "Directory", "x"), "x");
}

TEST_F(SettingsStore, OpenAppKeyAndSectionKeyHandBackOpenKeys) {
    EXPECT_NE(app_.OpenAppKey(), nullptr);
    EXPECT_NE(app_.OpenSectionKey("Web"), nullptr);
    EXPECT_TRUE(KeyExists("software\\" + company_ + "\\KESTRIN\\web"));
}

TEST_F(SettingsStore, WrittenValuesReadBack) {
    for (const char* value : {"18446744073709551615", "", "12"}) {
        ASSERT_TRUE(app_.WriteSetting("Update", "ManifestSerial", value)) << value;
        EXPECT_EQ(app_.ReadSetting("Update", "ManifestSerial", "none"), value);
    }
    // The INI fallback is never written.
    CUpdaterApp unnamed;
    EXPECT_FALSE(unnamed.WriteSetting("Update", "ManifestSerial", "1"));
}

}  // namespace
