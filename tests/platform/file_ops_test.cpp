// DeleteFileA, MoveFileExA and GetFileAttributesA: the Win32 contract the downloads rely on.
// On Windows (Wine) these check the system's own functions, which the POSIX ones must match.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/win32api.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

struct MoveCase {
    const char* name;
    const char* from;  // relative to a directory holding "a" ("A") and "b" ("B"), "dir"
    const char* to;
    DWORD flags;
    DWORD error;         // ERROR_SUCCESS: the move happens
    const char* landed;  // the content expected at "to" afterwards, when it is a file
};

TEST(FileOps, MoveFileEx) {
    const MoveCase cases[] = {
        {"replace", "a", "b", MOVEFILE_REPLACE_EXISTING, ERROR_SUCCESS, "A"},
        {"new name", "a", "c", 0, ERROR_SUCCESS, "A"},
        {"existing target", "a", "b", 0, ERROR_ALREADY_EXISTS, "B"},
        {"missing source", "none", "c", MOVEFILE_REPLACE_EXISTING, ERROR_FILE_NOT_FOUND, nullptr},
        {"missing target dir", "a", "none/c", MOVEFILE_REPLACE_EXISTING, ERROR_PATH_NOT_FOUND,
         nullptr},
        {"over a directory", "a", "dir", MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED, nullptr},
    };
    for (const MoveCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir.path() / "a", "A");
        WriteFile(dir.path() / "b", "B");
        fs::create_directory(dir.path() / "dir");
        const std::string from = (dir.path() / c.from).string();
        const std::string to = (dir.path() / c.to).string();

        const BOOL moved = MoveFileExA(from.c_str(), to.c_str(), c.flags);
        EXPECT_EQ(moved != FALSE, c.error == ERROR_SUCCESS);
        if (!moved) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (c.landed) {
            EXPECT_EQ(ReadFile(to), c.landed);
        }
        // A failed move leaves the source where it was.
        if (!moved && fs::exists(dir.path() / "a")) {
            EXPECT_EQ(ReadFile(dir.path() / "a"), "A");
        }
    }
}

TEST(FileOps, DeleteFileAndAttributes) {
    TempDir dir;
    WriteFile(dir.path() / "file", "x");
    WriteFile(dir.path() / "readonly", "x");
    fs::permissions(dir.path() / "readonly",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::create_directory(dir.path() / "dir");
    auto at = [&](const char* name) { return (dir.path() / name).string(); };

    // A plain file: Windows adds FILE_ATTRIBUTE_ARCHIVE, POSIX has FILE_ATTRIBUTE_NORMAL alone.
    const DWORD plain = GetFileAttributesA(at("file").c_str());
    EXPECT_NE(plain, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(plain & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY), 0u);
    EXPECT_TRUE(GetFileAttributesA(at("readonly").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(GetFileAttributesA(at("dir").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA(at("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    const struct {
        const char* name;
        DWORD error;
    } deletions[] = {
        {"file", ERROR_SUCCESS},
        {"file", ERROR_FILE_NOT_FOUND},
        {"none/file", ERROR_PATH_NOT_FOUND},
        {"dir", ERROR_ACCESS_DENIED},
    };
    for (const auto& d : deletions) {
        SCOPED_TRACE(d.name);
        const BOOL deleted = DeleteFileA(at(d.name).c_str());
        EXPECT_EQ(deleted != FALSE, d.error == ERROR_SUCCESS);
        if (!deleted) {
            EXPECT_EQ(GetLastError(), d.error);
        }
    }
    EXPECT_TRUE(fs::is_directory(dir.path() / "dir"));
}

}  // namespace
