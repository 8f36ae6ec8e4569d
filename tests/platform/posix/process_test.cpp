// The POSIX process services: the rebuilt command line, the private temporary directory, named
// mutexes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/handle_owners.h"
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

// The runtime directory when it is the user's, else the user's cache directory (XDG_CACHE_HOME
// when absolute, else ~/.cache): never a name in a shared /tmp that another user could take.
TEST(TempPath, PrivateDirectoryEndingInABackslash) {
    TempDir base;
    const std::string home = base.str() + "/home";
    const std::string runtime = base.str() + "/run";
    const std::string xdgCache = base.str() + "/xdg/cache/";
    fs::create_directory(runtime);
    const struct {
        const char* runtime;
        const char* cacheHome;
        std::string expected;
    } cases[] = {
        {runtime.c_str(), nullptr, runtime + "/kestrin"},
        {nullptr, nullptr, home + "/.cache/kestrin/tmp"},
        {"run", "cache", home + "/.cache/kestrin/tmp"},  // relative ones are ignored
        {nullptr, xdgCache.c_str(), base.str() + "/xdg/cache/kestrin/tmp"},
    };
    ScopedEnv homeEnv("HOME", home.c_str());
    ScopedEnv tmp("TMPDIR", base.str().c_str());
    for (const auto& c : cases) {
        ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", c.runtime);
        ScopedEnv cacheEnv("XDG_CACHE_HOME", c.cacheHome);
        char buffer[MAX_PATH] = {};
        const DWORD n = GetTempPathA(MAX_PATH, buffer);
        EXPECT_EQ(std::string(buffer), c.expected + "\\") << c.expected;
        EXPECT_EQ(n, c.expected.size() + 1) << c.expected;
        struct stat st {};
        ASSERT_EQ(lstat(c.expected.c_str(), &st), 0) << c.expected;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << c.expected;
        // Too small a buffer: the size needed, zero included.
        char small[4] = {};
        EXPECT_EQ(GetTempPathA(sizeof small, small), c.expected.size() + 2);
    }
    EXPECT_FALSE(fs::exists(base.path() / ("kestrin-" + std::to_string(geteuid()))));
}

TEST(TempPath, RefusesADirectoryItDoesNotOwnOrALink) {
    TempDir base;
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv cache("XDG_CACHE_HOME", base.str().c_str());
    fs::create_directory(base.path() / "kestrin");
    fs::path mine = base.path() / "kestrin" / "tmp";
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

// A named mutex keeps every other handle of its name out until it is released or its handle
// closed, whichever thread (or process: the lock is the file system's) holds that handle.
TEST(NamedMutex, ExcludesOtherHandlesUntilReleased) {
    TempDir base;
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv cache("XDG_CACHE_HOME", base.str().c_str());
    const MutexHandle held(CreateMutexA(nullptr, FALSE, "Local\\Kestrin.Test"));
    ASSERT_TRUE(held);
    EXPECT_FALSE(ReleaseMutex(held.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    ASSERT_EQ(WaitForSingleObject(held.get(), 0), WAIT_OBJECT_0);
    // Another handle, on another thread, which closes it at once (held or not).
    const auto other = [] {
        DWORD waited = WAIT_FAILED;
        std::thread([&waited] {
            const MutexHandle mutex(CreateMutexA(nullptr, FALSE, "Kestrin.Test"));
            if (mutex) waited = WaitForSingleObject(mutex.get(), 0);
        }).join();
        return waited;
    };
    EXPECT_EQ(other(), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(held.get()));
    EXPECT_EQ(other(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(held.get(), 0), WAIT_OBJECT_0);
}

}  // namespace
