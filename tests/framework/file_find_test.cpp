#include "framework/file_find.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

class FileFindTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"alpha.txt", "beta.txt", "gamma.dat", "sub/inner.txt"}) {
            WriteFile(dir_.path() / name, name);
        }
    }
    // A path below the directory, with a backslash between.
    std::string At(const std::string& relative) const { return dir_.str() + "\\" + relative; }

    TempDir dir_;
};

std::set<std::string> AllMatches(CFileFind& finder, const std::string& pattern) {
    std::set<std::string> names;
    if (!finder.FindFile(pattern.c_str())) return names;
    bool more;
    do {
        more = finder.FindNextFile();
        names.insert(finder.GetFileName());
    } while (more);
    return names;
}

TEST_F(FileFindTest, PatternsInTheLastComponent) {
    const struct {
        const char* pattern;
        std::set<std::string> matches;
    } cases[] = {
        {"alpha.txt", {"alpha.txt"}},
        {"*.txt", {"alpha.txt", "beta.txt"}},
        {"?eta.txt", {"beta.txt"}},
        {"*a.*", {"alpha.txt", "beta.txt", "gamma.dat"}},
        {"g*m*.d?t", {"gamma.dat"}},
        {"missing.txt", {}},
        {"*.exe", {}},
        {"sub", {"sub"}},
        {"sub\\inner.txt", {"inner.txt"}},
        {"sub/inner.txt", {"inner.txt"}},
        {"sub\\*", {".", "..", "inner.txt"}},
        {"sub\\", {}},
        {"", {}},
        {"nodir\\alpha.txt", {}},
    };
    CFileFind finder;
    for (const auto& c : cases) {
        std::set<std::string> found = AllMatches(finder, At(c.pattern));
        // Not every file system lists "." and "..".
        if (c.matches.count(".")) {
            found.insert(".");
            found.insert("..");
        }
        EXPECT_EQ(found, c.matches) << c.pattern;
    }
}

TEST_F(FileFindTest, CurrentMatchOnlyAfterFindNextFile) {
    CFileFind finder;
    FILETIME time{};
    ASSERT_TRUE(finder.FindFile(At("alpha.txt").c_str()));
    EXPECT_FALSE(finder.GetCreationTime(&time));
    EXPECT_EQ(finder.GetFileName(), "");
    // The one match is the last: false, and current all the same.
    EXPECT_FALSE(finder.FindNextFile());
    EXPECT_EQ(finder.GetFileName(), "alpha.txt");
    EXPECT_FALSE(finder.IsDirectory());
    EXPECT_TRUE(finder.GetCreationTime(&time));
    EXPECT_FALSE(finder.FindNextFile());

    ASSERT_TRUE(finder.FindFile(At("sub").c_str()));
    finder.FindNextFile();
    EXPECT_TRUE(finder.IsDirectory());

    // A failed search leaves nothing current from the one before.
    EXPECT_FALSE(finder.FindFile(At("missing").c_str()));
    EXPECT_EQ(finder.GetFileName(), "");
    EXPECT_FALSE(finder.FindNextFile());
}

std::int64_t SecondsOf(const FILETIME& time) {
    const auto ticks = static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

std::int64_t Now() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return SecondsOf(now);
}

// The creation time is the moment the file came into being.
TEST_F(FileFindTest, CreationTimeIsWhenTheFileWasMade) {
    const std::int64_t before = Now();
    WriteFile(dir_.path() / "fresh.dll", "new");
    const std::int64_t after = Now();

    CFileFind finder;
    ASSERT_TRUE(finder.FindFile(At("fresh.dll").c_str()));
    finder.FindNextFile();
    FILETIME created{};
    ASSERT_TRUE(finder.GetCreationTime(&created));
    EXPECT_GE(SecondsOf(created), before - 2);
    EXPECT_LE(SecondsOf(created), after + 2);
}

}  // namespace
