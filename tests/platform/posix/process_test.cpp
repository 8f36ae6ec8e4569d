// The POSIX process services: the rebuilt command line, the private temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32api.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

TEST(CommandLine, ArgumentsAreQuotedAsWindowsWould) {
    std::vector<std::string> args = {
        "/opt/my apps/kestrin", "UPDATE_REQUEST", "",           "a b",
        "say \"hi\"",           "trail\\",        "dir with\\", "plain\\path"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    PosixSetCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_STREQ(GetCommandLineA(),
                 "\"/opt/my apps/kestrin\" UPDATE_REQUEST \"\" \"a b\" \"say \\\"hi\\\"\" "
                 "trail\\ \"dir with\\\\\" plain\\path");
}

TEST(TempPath, PrivateDirectoryEndingInABackslash) {
    TempDir base;
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv tmp("TMPDIR", base.str().c_str());
    char buffer[MAX_PATH] = {};
    DWORD n = GetTempPathA(MAX_PATH, buffer);
    std::string expected = base.str() + "/kestrin-" + std::to_string(geteuid()) + "\\";
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(n, expected.size());
    struct stat st {};
    ASSERT_EQ(lstat((base.path() / ("kestrin-" + std::to_string(geteuid()))).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Too small a buffer: the size needed, zero included.
    char small[4] = {};
    EXPECT_EQ(GetTempPathA(sizeof small, small), expected.size() + 1);
}

TEST(TempPath, RefusesADirectoryItDoesNotOwnOrALink) {
    TempDir base;
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv tmp("TMPDIR", base.str().c_str());
    fs::path mine = base.path() / ("kestrin-" + std::to_string(geteuid()));
    // Someone planted a link where the directory would be.
    fs::create_directory(base.path() / "elsewhere");
    fs::create_directory_symlink(base.path() / "elsewhere", mine);
    char buffer[MAX_PATH] = {};
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 0u);
    fs::remove(mine);
    // A directory with loose permissions is tightened.
    fs::create_directory(mine);
    chmod(mine.c_str(), 0777);
    EXPECT_GT(GetTempPathA(MAX_PATH, buffer), 0u);
    struct stat st {};
    ASSERT_EQ(stat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
