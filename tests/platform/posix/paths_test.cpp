// Windows paths on POSIX: drive letters and separators.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/posix/posix_paths.h"
#include "support/test_env.h"

namespace {

TEST(PosixPaths, DrivesAndSeparators) {
    ScopedEnv home("HOME", "/home/someone");
    struct Case {
        const char* windows;
        const char* posix;  // null: names no place
    } cases[] = {
        {"C:\\Tamwix\\", "/home/someone/Tamwix/"},
        {"c:\\Tamwix\\Pelmora\\a.bin", "/home/someone/Tamwix/Pelmora/a.bin"},
        {"C:", "/home/someone"},
        {"C:rel\\x", "/home/someone/rel/x"},
        {"/opt/tamwix\\Pelmora\\sub\\f", "/opt/tamwix/Pelmora/sub/f"},
        {"relative\\f", "relative/f"},
        {"D:\\Apps\\", nullptr},
        {"z:", nullptr},
    };
    for (const Case& c : cases) {
        std::optional<std::string> got = posix::ToPosixPath(c.windows);
        if (c.posix == nullptr) {
            EXPECT_FALSE(got.has_value()) << c.windows;
        } else {
            EXPECT_EQ(got.value_or("<none>"), c.posix) << c.windows;
        }
    }
}

}  // namespace
