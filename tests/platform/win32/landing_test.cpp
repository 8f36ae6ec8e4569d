// The steps of a landing on Windows, in the order the program takes them, seen through its
// calls: each directory looked at for a link before it is held and once more after, the
// temporary file flushed before it is renamed through to the disk, and the landed file marked
// created after the rename.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "call_trace.h"
#include "platform/landing.h"
#include "support/test_env.h"

namespace {

using Calls = std::vector<std::string>;

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

}  // namespace
