// The registry on POSIX, a directory tree, through the settings the application reads: keys are
// directories under the XDG config home, values files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/updater_app.h"
#include "frontends/recording/recording_frontend.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

class RegistryTree : public ::testing::Test {
  protected:
    void SetUp() override {
        app_.m_appName = "kestrin";
        app_.SetCompanyKey("Vantorel");
    }
    void UseProfile(const char* profile) {
        // Start-up replaces the profile name after naming the company.
        app_.SetCompanyKey("Vantorel");
        app_.m_profileName = profile;
    }
    std::vector<std::string> Tree() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
            out.push_back(fs::relative(entry.path(), home_.path()).string() +
                          (entry.is_directory() ? "/" : ""));
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    TempDir home_;
    ScopedEnv xdg_{"XDG_CONFIG_HOME", home_.str().c_str()};
    CUpdaterApp app_;
};

TEST_F(RegistryTree, FreshHomeGetsExactlyTheKeysOfTheFirstRead) {
    UseProfile("Tamwix");
    EXPECT_EQ(app_.ReadSetting("FILES", "Directory", "C:\\Tamwix\\"), "C:\\Tamwix\\");
    EXPECT_EQ(Tree(), (std::vector<std::string>{"Vantorel/", "Vantorel/Tamwix/",
                                                "Vantorel/Tamwix/FILES/"}));
    struct stat st {};
    ASSERT_EQ(stat((home_.path() / "Vantorel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "settings are private to the user";
}

TEST_F(RegistryTree, ValuesAreReadAsTheyAreStored) {
    UseProfile("Tamwix");
    struct Case {
        std::string bytes;
        const char* expected;
    } cases[] = {
        {"D:\\Apps", "D:\\Apps"},                 // no trailing line feed
        {"D:\\Apps\n", "D:\\Apps"},               // one line feed, as echo writes it
        {"D:\\Apps\r\n", "D:\\Apps"},             // CR LF
        {"D:\\Apps\n\n", "D:\\Apps\n"},           // only one line feed is the editor's
        {std::string("D:\\A\0pps", 8), "D:\\A"},  // the text ends at a zero byte
        {"", ""},                                 // empty is a value, not the default
        {" spaced \t", " spaced \t"},             // nothing trimmed
    };
    for (const Case& c : cases) {
        WriteFile(home_.path() / "Vantorel/Tamwix/FILES/Directory", c.bytes);
        EXPECT_EQ(app_.ReadSetting("FILES", "Directory", "default"), c.expected)
            << "stored: " << c.bytes;
    }
}

TEST_F(RegistryTree, NamesMatchWithoutRegardToCase) {
    UseProfile("Tamwix");
    WriteFile(home_.path() / "vantorel/TAMWIX/update/versiona", "7");
    EXPECT_EQ(app_.ReadSetting("Update", "VersionA", "1"), "7");
    // Nothing new was created beside the existing keys.
    EXPECT_EQ(Tree(),
              (std::vector<std::string>{"vantorel/", "vantorel/TAMWIX/", "vantorel/TAMWIX/update/",
                                        "vantorel/TAMWIX/update/versiona"}));
    // A key directory is not a value, and a value file is not a key.
    fs::create_directories(home_.path() / "vantorel/TAMWIX/update/VersionB");
    EXPECT_EQ(app_.ReadSetting("Update", "VersionB", "A"), "A");
}

// A written value replaces its file whole, under the name it had, private to the user, and
// reads back as it was given, a trailing line feed included.
TEST_F(RegistryTree, WrittenValuesReplaceTheirFileWhole) {
    UseProfile("Tamwix");
    WriteFile(home_.path() / "Vantorel/Tamwix/Update/manifestserial", "7\n");
    for (const char* value : {"12", "", "line\n", "12"}) {
        ASSERT_TRUE(app_.WriteSetting("Update", "ManifestSerial", value)) << value;
        EXPECT_EQ(app_.ReadSetting("Update", "ManifestSerial", "none"), value);
    }
    EXPECT_EQ(Tree(),
              (std::vector<std::string>{"Vantorel/", "Vantorel/Tamwix/", "Vantorel/Tamwix/Update/",
                                        "Vantorel/Tamwix/Update/manifestserial"}));
    EXPECT_EQ(ReadFile(home_.path() / "Vantorel/Tamwix/Update/manifestserial"), "12\n");
    struct stat st {};
    ASSERT_EQ(stat((home_.path() / "Vantorel/Tamwix/Update/manifestserial").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryTree, UnusableHomeGivesEveryDefault) {
    UseProfile("Tamwix");
    WriteFile(home_.path() / "file", "not a directory");
    {
        // The config home is a file: nothing can be opened or created.
        ScopedEnv xdg("XDG_CONFIG_HOME", (home_.path() / "file").c_str());
        EXPECT_EQ(app_.ReadSetting("FILES", "Directory", "C:\\Tamwix\\"), "C:\\Tamwix\\");
    }
    {
        // The config home lies below a file: it cannot be made.
        ScopedEnv xdg("XDG_CONFIG_HOME", (home_.path() / "file/sub").c_str());
        EXPECT_EQ(app_.ReadSetting("Web", "Home", "http://x/"), "http://x/");
    }
    if (geteuid() != 0) {
        // Read-only home: the keys cannot be created, so the stored value cannot be reached.
        fs::create_directories(home_.path() / "ro");
        ScopedEnv xdg("XDG_CONFIG_HOME", (home_.path() / "ro").c_str());
        chmod((home_.path() / "ro").c_str(), 0500);
        EXPECT_EQ(app_.ReadSetting("FILES", "Directory", "C:\\Tamwix\\"), "C:\\Tamwix\\");
        chmod((home_.path() / "ro").c_str(), 0700);
        chmod((home_.path() / "ro").c_str(), 0);
        EXPECT_EQ(app_.ReadSetting("FILES", "Directory", "C:\\Tamwix\\"), "C:\\Tamwix\\");
        chmod((home_.path() / "ro").c_str(), 0700);
    }
}

// A relative XDG_CONFIG_HOME is ignored, whatever directory the program was started in: the
// settings are those under the home directory's .config.
TEST_F(RegistryTree, ARelativeConfigHomeIsIgnored) {
    UseProfile("Tamwix");
    WriteFile(home_.path() / "home/.config/Vantorel/Tamwix/FILES/Directory", "D:\\Apps");
    WriteFile(home_.path() / "relative/Vantorel/Tamwix/FILES/Directory", "D:\\Elsewhere");
    ScopedEnv home("HOME", (home_.path() / "home").c_str());
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative");
    const fs::path started = fs::current_path();
    fs::current_path(home_.path());
    const CString directory = app_.ReadSetting("FILES", "Directory", "C:\\Tamwix\\");
    fs::current_path(started);
    EXPECT_EQ(directory, "D:\\Apps");
}

TEST_F(RegistryTree, StartUpTakesTheStoredDirectory) {
    ScopedRecordingFrontEnd ui;
    WriteFile(home_.path() / "Vantorel/Tamwix/FILES/Directory", "D:\\Apps\n");
    app_.StartUp();
    EXPECT_EQ(app_.m_strDirectory, "D:\\Apps\\");
}

TEST_F(RegistryTree, IniFallbackBeforeACompanyIsNamed) {
    CUpdaterApp app;
    app.m_appName = "kestrin";
    app.m_profileName = "kestrin.INI";
    WriteFile(
        home_.path() / "kestrin.INI",
        "[Other]\nDirectory=no\n[ files ]\n  directory = D:\\Apps  \n" + std::string(5000, 'x'));
    EXPECT_EQ(app.ReadSetting("FILES", "Directory", "C:\\Tamwix\\"), "D:\\Apps");
    EXPECT_EQ(app.ReadSetting("FILES", "Missing", "dflt"), "dflt");
    WriteFile(home_.path() / "kestrin.INI", "[FILES]\nDirectory=" + std::string(5000, 'y') + "\n");
    EXPECT_EQ(app.ReadSetting("FILES", "Directory", ""), std::string(4095, 'y'));
    // No registry keys are made by the fallback.
    EXPECT_FALSE(fs::exists(home_.path() / "Vantorel"));
}

}  // namespace
