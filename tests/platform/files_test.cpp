// The local file services behind the text file and the file search, held to the Win32
// contract: the same tests pass against the system's own functions on Windows.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32api.h"
#include "support/test_env.h"

namespace {

FILETIME FromTicks(unsigned long long ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xffffffffu), static_cast<DWORD>(ticks >> 32)};
}

unsigned long long TicksOf(const FILETIME& time) {
    return static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

constexpr unsigned long long kTicksPerSecond = 10000000ULL;

TEST(FileTimeToSystemTime, CalendarFields) {
    const struct {
        unsigned long long ticks;
        WORD year, month, day, dayOfWeek, hour, minute, second, milliseconds;
    } cases[] = {
        {0, 1601, 1, 1, 1, 0, 0, 0, 0},
        {116444736000000000ULL, 1970, 1, 1, 4, 0, 0, 0, 0},
        // 2000-02-29 12:34:56.789, a leap day of a year divisible by 400.
        {116444736000000000ULL + 951827696ULL * kTicksPerSecond + 7890000ULL, 2000, 2, 29, 2, 12,
         34, 56, 789},
        {116444736000000000ULL + 4107542399ULL * kTicksPerSecond, 2100, 2, 28, 0, 23, 59, 59, 0},
        {116444736000000000ULL + 2208988800ULL * kTicksPerSecond, 2040, 1, 1, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const FILETIME time = FromTicks(c.ticks);
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(&time, &st)) << c.ticks;
        EXPECT_EQ(st.wYear, c.year) << c.ticks;
        EXPECT_EQ(st.wMonth, c.month) << c.ticks;
        EXPECT_EQ(st.wDay, c.day) << c.ticks;
        EXPECT_EQ(st.wDayOfWeek, c.dayOfWeek) << c.ticks;
        EXPECT_EQ(st.wHour, c.hour) << c.ticks;
        EXPECT_EQ(st.wMinute, c.minute) << c.ticks;
        EXPECT_EQ(st.wSecond, c.second) << c.ticks;
        EXPECT_EQ(st.wMilliseconds, c.milliseconds) << c.ticks;
    }
    const FILETIME tooLate = FromTicks(0x8000000000000000ULL);
    SYSTEMTIME st{};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
}

// Windows applies the present offset from UTC to every file time, whatever the date: a
// winter and a summer time move by the same amount.
TEST(FileTimeToLocalFileTime, AppliesOnePresentOffset) {
    ScopedEnv zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const unsigned long long winter = 116444736000000000ULL + 979081200ULL * kTicksPerSecond;
    const unsigned long long summer = 116444736000000000ULL + 995148000ULL * kTicksPerSecond;
    FILETIME local{};
    const FILETIME w = FromTicks(winter);
    ASSERT_TRUE(FileTimeToLocalFileTime(&w, &local));
    const long long winterShift = static_cast<long long>(TicksOf(local) - winter);
    const FILETIME s = FromTicks(summer);
    ASSERT_TRUE(FileTimeToLocalFileTime(&s, &local));
    const long long summerShift = static_cast<long long>(TicksOf(local) - summer);
    EXPECT_EQ(winterShift, summerShift);
}

TEST(CreateDirectoryA, MakesOneLevel) {
    TempDir dir;
    const std::string product = dir.str() + "\\Pelmora\\";
    EXPECT_TRUE(CreateDirectoryA(product.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(product.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryA((dir.str() + "\\no\\such").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    WriteFile(dir.path() / "file", "x");
    EXPECT_FALSE(CreateDirectoryA((dir.str() + "\\file").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST(FindFirstFileA, ErrorNumbers) {
    TempDir dir;
    WriteFile(dir.path() / "a.txt", "x");
    WIN32_FIND_DATAA data{};
    const struct {
        std::string path;
        DWORD error;
    } cases[] = {
        {dir.str() + "\\missing.txt", ERROR_FILE_NOT_FOUND},
        {dir.str() + "\\*.exe", ERROR_FILE_NOT_FOUND},
        {dir.str() + "\\", ERROR_FILE_NOT_FOUND},
        {dir.str() + "\\nodir\\a.txt", ERROR_PATH_NOT_FOUND},
        {dir.str() + "\\nodir\\*", ERROR_PATH_NOT_FOUND},
        {dir.str() + "\\" + std::string(300, 'x'), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindFirstFileA(c.path.c_str(), &data), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    HANDLE search = FindFirstFileA((dir.str() + "\\a.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "a.txt");
    EXPECT_EQ(data.nFileSizeLow, 1u);
    EXPECT_FALSE(FindNextFileA(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(search));
}

TEST(CreateFileA, ReadsWhatIsThere) {
    TempDir dir;
    WriteFile(dir.path() / "data.bin", std::string("ab\0cd", 5));
    HANDLE file = CreateFileA((dir.str() + "\\data.bin").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[16] = {};
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(file, buffer, 3, &got, nullptr));
    EXPECT_EQ(got, 3u);
    ASSERT_TRUE(ReadFile(file, buffer + 3, sizeof buffer - 3, &got, nullptr));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buffer, 5), std::string("ab\0cd", 5));
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(CloseHandle(file));

    // Creating: CREATE_NEW refuses an existing file, CREATE_ALWAYS empties it.
    const std::string path = dir.str() + "\\data.bin";
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(ReadFile(dir.path() / "data.bin"), "");
}

}  // namespace
