// The landing's contract on both systems: a removal takes the regular file it names and the
// directories that this leaves empty, never root, never through a link, and nothing of the
// landing's own name forms is landed or removed.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>

#include "platform/landing.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

// Every path below root, relative, with "/" between components; directories end in "/".
std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const bool dir = entry.is_directory() && !entry.is_symlink();
        tree.insert(entry.path().lexically_relative(root).generic_string() + (dir ? "/" : ""));
    }
    return tree;
}

TEST(Landing, RemovesTheFileItNamesAndTheDirectoriesLeftEmpty) {
    const struct {
        const char* name;
        DWORD error;  // 0: removed
        std::set<std::string> left;
    } cases[] = {
        {"a\\b\\c.bin", 0, {"keep.txt", "d/", "d/e.bin"}},
        {"d/e.bin", 0, {"keep.txt", "a/", "a/b/", "a/b/c.bin"}},
        // Root itself stays even when nothing is left in it.
        {"keep.txt", 0, {"a/", "a/b/", "a/b/c.bin", "d/", "d/e.bin"}},
        {"a\\b\\gone.bin", ERROR_FILE_NOT_FOUND, {}},
        {"a\\x\\c.bin", ERROR_PATH_NOT_FOUND, {}},
        {"a\\b", ERROR_ACCESS_DENIED, {}},
        {"a\\..\\keep.txt", ERROR_INVALID_NAME, {}},
        {"a\\b\\", ERROR_INVALID_NAME, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        for (const char* file : {"keep.txt", "a/b/c.bin", "d/e.bin"}) {
            fs::create_directories((root.path() / file).parent_path());
            WriteFile(root.path() / file, "old");
        }
        const std::set<std::string> before = Tree(root.path());
        const BOOL removed = Landing::Remove(root.str().c_str(), c.name);
        const DWORD error = GetLastError();
        EXPECT_EQ(removed != FALSE, c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(error, c.error);
            EXPECT_EQ(Tree(root.path()), before);
        } else {
            EXPECT_EQ(Tree(root.path()), c.left);
        }
    }
}

// A listed name of one of the landing's own forms would be taken for a leftover by the sweep.
TEST(Landing, RefusesNamesOfItsOwnForms) {
    for (const char* name : {"~kst1a2b.tmp", "sub\\~KST00FF.TMP", "~kst1a2b~Tamwix.exe"}) {
        SCOPED_TRACE(name);
        TempDir root;
        fs::create_directories(root.path() / "sub");
        WriteFile(root.path() / name, "product");
        EXPECT_EQ(Landing::Begin(root.str().c_str(), name, FILE_ATTRIBUTE_NORMAL, false), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        EXPECT_FALSE(Landing::Remove(root.str().c_str(), name));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
        EXPECT_EQ(ReadFile(root.path() / name), "product");
    }
    // Only the last component matters, and a name that merely looks alike is the product's.
    for (const char* name : {"~kst1a2b.tmp\\a.bin", "~kst1a2g.tmp", "~kst1a2b~", "x~kst1a2b~a"}) {
        SCOPED_TRACE(name);
        TempDir root;
        const std::unique_ptr<Landing> landing =
            Landing::Begin(root.str().c_str(), name, FILE_ATTRIBUTE_NORMAL, false);
        ASSERT_NE(landing, nullptr);
        EXPECT_TRUE(landing->Write("new", 3) && landing->Commit());
        EXPECT_TRUE(Landing::Remove(root.str().c_str(), name));
    }
}

// A link below root is never entered, nor removed as if it were the file it leads to.
TEST(Landing, RemovesNothingThroughALink) {
    TempDir root;
    TempDir outside;
    WriteFile(outside.path() / "precious", "precious");
    std::error_code made;
    fs::create_directory_symlink(outside.path(), root.path() / "etc", made);
    if (made) GTEST_SKIP() << "no directory link here: " << made.message();
    EXPECT_FALSE(Landing::Remove(root.str().c_str(), "etc\\precious"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
    fs::create_symlink(outside.path() / "precious", root.path() / "p", made);
    // Wine shows no link to a file: removing one there removes the link alone.
    if (!made && fs::is_symlink(root.path() / "p")) {
        const BOOL removed = Landing::Remove(root.str().c_str(), "p");
#ifndef _WIN32
        EXPECT_FALSE(removed);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
#else
        (void)removed;
#endif
    }
    EXPECT_EQ(ReadFile(outside.path() / "precious"), "precious");
}

}  // namespace
