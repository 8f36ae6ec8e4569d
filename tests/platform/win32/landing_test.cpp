// The steps of a landing on Windows, in the order the program takes them, seen through its
// calls: each directory looked at for a link before it is held and once more after, the
// temporary file flushed before it is renamed through to the disk, and the landed file marked
// created after the rename.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "call_trace.h"
#include "platform/landing.h"
#include "support/test_env.h"

namespace {

using Calls = std::vector<std::string>;
namespace fs = std::filesystem;

// What holds a file the way the product holds its own while it runs.
class Holder {
  public:
    enum Kind { Nothing, Library, OpenWithoutDeleteSharing };

    // Makes the file at path (a program image for a library, which is mapped as one) and holds
    // it as kind says.
    Holder(Kind kind, const fs::path& path) {
        if (kind == Library) {
            wchar_t self[MAX_PATH];
            GetModuleFileNameW(nullptr, self, MAX_PATH);
            fs::copy_file(self, path, fs::copy_options::overwrite_existing);
            m_module = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        } else {
            WriteFile(path, "old");
        }
        if (kind == OpenWithoutDeleteSharing) {
            m_file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        }
        m_bytes = ReadFile(path);
    }
    ~Holder() {
        if (m_module != nullptr) FreeLibrary(m_module);
        if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool Holds(Kind kind) const {
        return kind == Nothing ||
               (kind == Library ? m_module != nullptr : m_file != INVALID_HANDLE_VALUE);
    }
    // The bytes the file had.
    const std::string& Bytes() const { return m_bytes; }

  private:
    HMODULE m_module = nullptr;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    std::string m_bytes;
};

// The names in directory, a copy aside shown as "~kst????~NAME", a temporary name as
// "~kst????.tmp".
std::set<std::string> Names(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        const std::string_view aside = Landing::AsideOf(std::string_view(name));
        names.insert(Landing::IsTemporaryName(name.c_str()) ? "~kst????.tmp"
                     : aside.empty()                        ? name
                                                            : "~kst????~" + std::string(aside));
    }
    return names;
}

TEST(WindowsLanding, TakesItsStepsInOrder) {
    const struct {
        const char* what;
        const char* name;
        bool failIfExists;
        const char* link;  // a directory shown as a link, from the look numbered linkFromLook on
        int linkFromLook;
        DWORD error;  // 0: lands
        Calls calls;
    } cases[] = {
        {"a new file in a new directory",
         "sub\\a.bin",
         false,
         "",
         0,
         0,
         {"hold .", "look sub", "mkdir sub", "look sub", "hold sub", "look sub",
          "create sub\\~kst????.tmp", "flush sub\\~kst????.tmp",
          "rename sub\\~kst????.tmp to sub\\a.bin written through replacing", "open sub\\a.bin",
          "set creation time of sub\\a.bin"}},
        {"a file that must be new",
         "b.bin",
         true,
         "",
         0,
         0,
         {"hold .", "look b.bin", "create ~kst????.tmp", "flush ~kst????.tmp",
          "rename ~kst????.tmp to b.bin written through", "open b.bin",
          "set creation time of b.bin"}},
        // Refused before it is held: holding it would have followed the link.
        {"a link on the way",
         "etc\\a.bin",
         false,
         "etc",
         1,
         ERROR_CANT_RESOLVE_FILENAME,
         {"hold .", "look etc"}},
        // Wine shows a link only in the attributes of its path (and Windows a directory that
        // was swapped for one meanwhile only once it is held).
        {"a directory that is a link once held",
         "etc\\a.bin",
         false,
         "etc",
         2,
         ERROR_CANT_RESOLVE_FILENAME,
         {"hold .", "look etc", "hold etc", "look etc"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        std::filesystem::create_directory(root.path() / "etc");
        bool landed = false;
        DWORD error = 0;
        Calls calls;
        {
            CallTrace trace(root.str());
            ASSERT_TRUE(trace.Complete());
            trace.ShowAsLink(c.link, c.linkFromLook);
            const std::unique_ptr<Landing> landing =
                Landing::Begin(root.str().c_str(), c.name, FILE_ATTRIBUTE_NORMAL, c.failIfExists);
            landed = landing && landing->Write("new", 3) && landing->Commit();
            error = GetLastError();
            calls = trace.Calls();
        }
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(landed, c.error == 0);
        if (landed) {
            EXPECT_EQ(ReadFile(root.path() / c.name), "new");
        } else {
            EXPECT_EQ(error, c.error);
        }
    }
}

// A file in use is renamed aside for the new copy, which lands; a file held without delete
// sharing cannot be renamed and stays whole; the name is never left missing.
TEST(WindowsLanding, LandsOverAFileInUse) {
    const struct {
        const char* what;
        Holder::Kind holder;
        const char* refused;  // a rename made to fail
        bool landed;
        std::set<std::string> names;  // while the holder holds
    } cases[] = {
        {"a loaded library", Holder::Library, "", true, {"a.dll", "~kst????~a.dll"}},
        {"a file open without delete sharing",
         Holder::OpenWithoutDeleteSharing,
         "",
         false,
         {"a.dll"}},
        {"a loaded library that cannot be renamed aside",
         Holder::Library,
         "rename a.dll to ~kst????~a.dll written through",
         false,
         {"a.dll"}},
        {"a loaded library whose new copy cannot take its name",
         Holder::Library,
         "rename ~kst????.tmp to a.dll written through",
         false,
         {"a.dll"}},
        {"a file nothing holds", Holder::Nothing, "", true, {"a.dll"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        Holder holder(c.holder, root.path() / "a.dll");
        ASSERT_TRUE(holder.Holds(c.holder));
        bool landed = false;
        {
            CallTrace trace(root.str());
            ASSERT_TRUE(trace.Complete());
            trace.Refuse(c.refused, ERROR_ACCESS_DENIED);
            const std::unique_ptr<Landing> landing =
                Landing::Begin(root.str().c_str(), "a.dll", FILE_ATTRIBUTE_NORMAL, false);
            landed = landing && landing->Write("new", 3) && landing->Commit();
        }
        EXPECT_EQ(landed, c.landed);
        // Compared, not shown: the old copy of a library is a whole program image.
        EXPECT_TRUE(ReadFile(root.path() / "a.dll") == (c.landed ? "new" : holder.Bytes()));
        EXPECT_EQ(Names(root.path()), c.names);
    }
}

// The sweep of a directory (the product directory itself too) puts back the copy aside of a
// name that a killed run left missing, and removes the other copies aside that nothing holds
// and the stale temporary files.
TEST(WindowsLanding, SweepPutsBackOrRemovesWhatKilledRunsLeft) {
    TempDir root;
    const fs::path& r = root.path();
    fs::create_directory(r / "sub");
    for (const char* name :
         {"~kst0001~gone.exe", "~kst0002~here.exe", "here.exe", "~kst0004.tmp",
          "sub/~kst0005~x.bin", "sub/~kst0006.tmp", "~kst0007~ro.bin", "ro.bin", "held.dll"}) {
        WriteFile(r / name, name);
    }
    for (const char* name : {"~kst0004.tmp", "sub/~kst0006.tmp"}) {
        fs::last_write_time(r / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    SetFileAttributesW((r / "~kst0007~ro.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    Holder library(Holder::Library, r / "~kst0003~held.dll");
    ASSERT_TRUE(library.Holds(Holder::Library));

    Landing::RemoveLeftovers(root.str().c_str(), "");
    Landing::RemoveLeftovers(root.str().c_str(), "sub");
    EXPECT_EQ(Names(r), (std::set<std::string>{"gone.exe", "here.exe", "ro.bin", "held.dll",
                                               "~kst????~held.dll", "sub"}));
    EXPECT_EQ(Names(r / "sub"), std::set<std::string>{"x.bin"});
    EXPECT_EQ(ReadFile(r / "gone.exe"), "~kst0001~gone.exe");
    EXPECT_EQ(ReadFile(r / "sub" / "x.bin"), "sub/~kst0005~x.bin");
    EXPECT_EQ(ReadFile(r / "here.exe"), "here.exe");
}

// A removal sets a file in use aside, which counts as removed, under a name that no sweep gives
// back; one held without delete sharing fails and stays whole.
TEST(WindowsLanding, RemovesAFileInUseBySettingItAside) {
    const struct {
        const char* what;
        Holder::Kind holder;
        DWORD error;  // 0: removed
        std::set<std::string> names;
    } cases[] = {
        {"a loaded library", Holder::Library, 0, {"~kst????.tmp"}},
        {"a file open without delete sharing",
         Holder::OpenWithoutDeleteSharing,
         ERROR_SHARING_VIOLATION,
         {"a.dll"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        Holder holder(c.holder, root.path() / "a.dll");
        ASSERT_TRUE(holder.Holds(c.holder));
        const BOOL removed = Landing::Remove(root.str().c_str(), "a.dll");
        const DWORD error = GetLastError();
        EXPECT_EQ(removed != FALSE, c.error == 0);
        if (!removed) {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_EQ(Names(root.path()), c.names);
    }
    // Read-only is no hold: the file goes, nothing left beside it.
    TempDir root;
    WriteFile(root.path() / "ro.bin", "old");
    SetFileAttributesW((root.path() / "ro.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(Landing::Remove(root.str().c_str(), "ro.bin"));
    EXPECT_EQ(Names(root.path()), std::set<std::string>());
}

}  // namespace
