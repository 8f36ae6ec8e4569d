// What the POSIX file search reports as a file's creation time. (Wine reports the earlier of
// the last-write and status-change times, so this holds the POSIX services alone to it.)
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "platform/win32api.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

std::int64_t SecondsOf(const FILETIME& time) {
    const auto ticks = static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

// A file last written long ago (as an unpacked archive's files are) was still created now.
TEST(FindFirstFileA, CreationTimeIsTheBirthNotTheLastWrite) {
    TempDir dir;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const fs::path path = dir.path() / "old.dll";
    WriteFile(path, "x");
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));

    WIN32_FIND_DATAA data{};
    HANDLE search = FindFirstFileA(path.string().c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_LT(SecondsOf(data.ftLastWriteTime), SecondsOf(now) - 24 * 3600);
    EXPECT_GE(SecondsOf(data.ftCreationTime), SecondsOf(now) - 2);
}

}  // namespace
