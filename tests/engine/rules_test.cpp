#include "engine/rules.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "framework/stdio_file.h"
#include "support/test_env.h"

namespace {

using engine::IsNewerRelease;
using engine::ListedTime;
using engine::TextToInt;

TEST(TextToInt, ReadsLikeAtoi) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"12", 12},
        {"  \t42", 42},
        {"\n\v\f\r7", 7},
        {"+5", 5},
        {"-5", -5},
        {"12abc", 12},
        {"A12", 0},
        {"", 0},
        {"-", 0},
        {"+-3", 0},
        {" - 3", 0},
        {"007", 7},
        {"12 34", 12},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
        {"\xA0"
         "5",
         0},  // a byte from 0x80 up is no white space
    };
    for (const auto& c : cases) EXPECT_EQ(TextToInt(c.text), c.value) << '"' << c.text << '"';
}

TEST(IsNewerRelease, NumberDecidesAndLetterOnlyBreaksTies) {
    const struct {
        const char* installedNumber;
        const char* installedLetter;
        const char* serverNumber;
        const char* serverLetter;
        bool newer;
    } cases[] = {
        {"5", "A", "5", "A", false},
        {"5", "A", "5", "B", true},
        {"5", "B", "6", "A", true},
        {"5", "Z", "6", "", true},
        // An older number is never announced as new, whatever the letters.
        {"6", "B", "5", "C", false},
        {"5", "B", "5", "A", false},
        {"5", "a", "5", "B", false},  // B is 66, a is 97
        {"5", "A", "5", "A ", true},  // a longer text sorts after its beginning
        {"5", "A", "5", "", false},
        {"5", "A", "x5", "B", false},  // letters first: the number is 0
        {"0", "A", "x5", "B", true},
        {"1", "A", "", "", false},  // empty version file against the defaults
        {"1", "A", "2", "A", true},
        {"12", "A", " 12", "A", false},
        {"5", "A", "5", "\xC4", true},  // letters compare as unsigned codes
        {"5", "\xC4", "5", "Z", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            IsNewerRelease(c.serverNumber, c.serverLetter, c.installedNumber, c.installedLetter),
            c.newer)
            << "installed " << c.installedNumber << c.installedLetter << ", server "
            << c.serverNumber << c.serverLetter;
    }
}

TEST(PathInDirectory, PutsOneBackslashBetween) {
    EXPECT_EQ(engine::PathInDirectory("C:\\Temp", "Version.txt"), "C:\\Temp\\Version.txt");
    EXPECT_EQ(engine::PathInDirectory("C:\\Temp\\", "Version.txt"), "C:\\Temp\\Version.txt");
    // A POSIX temporary directory ends in a slash; the backslash added is a separator too.
    EXPECT_EQ(engine::PathInDirectory("/run/k/", "File_list.txt"), "/run/k/\\File_list.txt");
}

TEST(TrimListValue, RemovesAsciiWhiteSpaceOnly) {
    EXPECT_EQ(engine::TrimListValue(" \t\v\f\r\nname.dll \t\r"), "name.dll");
    EXPECT_EQ(engine::TrimListValue("   "), "");
    EXPECT_EQ(engine::TrimListValue("a b"), "a b");
    EXPECT_EQ(engine::TrimListValue("\xA0name\xA0"), "\xA0name\xA0");
}

struct Entry {
    std::string name;
    std::string date;
    bool overlong = false;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << '{' << e.name.size() << ':' << e.name.substr(0, 20) << '|' << e.date.substr(0, 20)
               << (e.overlong ? "|overlong" : "") << '}';
}

TEST(FileList, PairsNamesWithDates) {
    const struct {
        const char* what;
        std::string content;
        std::vector<Entry> entries;
    } cases[] = {
        {"empty list", "", {}},
        {"two entries",
         "a.dll\n2001-07-15\nb.exe\n2002-01-01\n",
         {{"a.dll", "2001-07-15"}, {"b.exe", "2002-01-01"}}},
        {"last name without date",
         "a.dll\n2001-07-15\nb.exe\n",
         {{"a.dll", "2001-07-15"}, {"b.exe", ""}}},
        {"last name without terminator", "a.dll", {{"a.dll", ""}}},
        {"blank line shifts the pairs",
         "a.dll\n2001-07-15\n   \nb.exe\n2002-01-01\n",
         {{"a.dll", "2001-07-15"}, {"", "b.exe"}, {"2002-01-01", ""}}},
        {"blanks, tabs and CR LF", " \ta.dll \r\n\t2001-07-15 \r\n", {{"a.dll", "2001-07-15"}}},
        {"empty date line", "a.dll\n\nb.exe\n2002-01-01", {{"a.dll", ""}, {"b.exe", "2002-01-01"}}},
        {"Ctrl-Z ends the list",
         "a.dll\n2001-07-15\n\x1A"
         "b.exe\n2002-01-01\n",
         {{"a.dll", "2001-07-15"}}},
        {"Ctrl-Z within a line ends it and the list",
         "a.dll\n2001\x1A-07-15\nb.exe\n",
         {{"a.dll", "2001"}}},
        {"lines at the limit, CR LF and all",
         std::string(4096, 'n') + "\r\n" + std::string(4096, 'd') + "\r\n",
         {{std::string(4096, 'n'), std::string(4096, 'd')}}},
        {"an overlong name line refuses its entry only",
         std::string(5000, 'x') + "\n2001-07-15\nb.exe\n2002-01-01\n",
         {{std::string(4096, 'x'), "2001-07-15", true}, {"b.exe", "2002-01-01"}}},
        // Cut short, the line would pass for a good name: its entry is refused all the same.
        {"a name padded past the limit",
         "a.dll" + std::string(5000, ' ') + "\n2001-07-15\n",
         {{"a.dll", "2001-07-15", true}}},
        {"an overlong date line",
         "a.dll\n" + std::string(4097, '1'),
         {{"a.dll", std::string(4096, '1'), true}}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const auto path = dir.path() / "File_list.txt";
        WriteFile(path, c.content);
        CStdioFile file;
        ASSERT_TRUE(file.Open(path.string().c_str(), CStdioFile::modeRead | CStdioFile::typeText));
        std::optional<engine::FileList> list = engine::FileList::Read(file);
        ASSERT_TRUE(list) << c.what;
        EXPECT_EQ(list->Count(), static_cast<std::ptrdiff_t>(c.entries.size())) << c.what;
        std::vector<Entry> entries;
        engine::FileList::Entry e;
        while (list->Next(e)) entries.push_back({CString(e.name), CString(e.date), e.overlong});
        EXPECT_EQ(entries, c.entries) << c.what;
    }
}

TEST(ParseListedDate, TakesPartsByPosition) {
    const struct {
        const char* date;
        int year, month, day;
    } cases[] = {
        {"2001-07-15", 2001, 7, 15}, {"2001/07/15", 2001, 7, 15}, {"2001-7-4", 2001, 7, 0},
        {"2001-07", 2001, 7, 0},     {"2001", 2001, 0, 0},        {"", 0, 0, 0},
        {"0000-01-01", 0, 1, 1},     {"2040-01-01", 2040, 1, 1},  {"01-07-2001", 1, -2, 1},
        {"2001- 7- 4", 2001, 7, 4},
    };
    for (const auto& c : cases) {
        const engine::ListedDate d = engine::ParseListedDate(c.date);
        EXPECT_EQ(d.year, c.year) << c.date;
        EXPECT_EQ(d.month, c.month) << c.date;
        EXPECT_EQ(d.day, c.day) << c.date;
    }
}

// Local time zones whose rules the tests can rely on: the central European one with its
// daylight-saving period (January is winter, July summer), and UTC.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// Sets TZ for the test's life, as the C library sees it.
class LocalZone {
  public:
    explicit LocalZone(const char* zone) : env_("TZ", zone) { tzset(); }
    ~LocalZone() { tzset(); }

  private:
    ScopedEnv env_;
};

std::tm LocalFields(std::int64_t instant) {
    const std::time_t t = static_cast<std::time_t>(instant);
    const std::tm* fields = std::localtime(&t);
    return fields ? *fields : std::tm{};
}

TEST(ListedTime, IsLocalMidnightWithMonthsAndDaysCarriedOver) {
    LocalZone zone(kCentralEurope);
    const struct {
        const char* date;
        int year, month, day;  // the local date it stands for
    } cases[] = {
        {"2001-07-15", 2001, 7, 15},  {"2001/07/15", 2001, 7, 15},  {"2001-7-4", 2001, 6, 30},
        {"2001-01-10", 2001, 1, 10},  {"2001-00-15", 2000, 12, 15}, {"2001-13-01", 2002, 1, 1},
        {"2001-03-00", 2001, 2, 28},  {"2040-01-01", 2040, 1, 1},   {"2038-01-20", 2038, 1, 20},
        {"3000-12-31", 3000, 12, 31},
    };
    for (const auto& c : cases) {
        const std::optional<std::int64_t> instant = ListedTime(c.date);
        ASSERT_TRUE(instant.has_value()) << c.date;
        const std::tm local = LocalFields(*instant);
        EXPECT_EQ(local.tm_year + 1900, c.year) << c.date;
        EXPECT_EQ(local.tm_mon + 1, c.month) << c.date;
        EXPECT_EQ(local.tm_mday, c.day) << c.date;
        EXPECT_EQ(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec, 0) << c.date;
    }
    // Past the end of the 32-bit range.
    EXPECT_GT(*ListedTime("2040-01-01"), std::int64_t{INT_MAX});
}

TEST(ListedTime, DatesThatCannotBeConvertedGiveNothing) {
    LocalZone zone(kCentralEurope);
    for (const char* date :
         {"", "0000-01-01", "abcd-ef-gh", "1969-12-31", "1900-01-01", "3001-01-02", "9999-12-31"}) {
        EXPECT_FALSE(ListedTime(date).has_value()) << date;
    }
}

FILETIME FileTimeAt(std::int64_t unixSeconds, std::int64_t extraTicks = 0) {
    const auto ticks =
        static_cast<std::uint64_t>((unixSeconds + 11644473600LL) * 10000000LL + extraTicks);
    return FILETIME{static_cast<DWORD>(ticks & 0xffffffffu), static_cast<DWORD>(ticks >> 32)};
}

TEST(InstantOf, RoundsFileTimesDownToSeconds) {
    EXPECT_EQ(engine::InstantOf(FileTimeAt(0)), 0);
    EXPECT_EQ(engine::InstantOf(FileTimeAt(995155200)), 995155200);
    EXPECT_EQ(engine::InstantOf(FileTimeAt(995155200, 9999999)), 995155200);
    EXPECT_EQ(engine::InstantOf(FileTimeAt(-1, 5000000)), -1);
    EXPECT_EQ(engine::InstantOf(FileTimeAt(2208988800LL)), 2208988800LL);
    EXPECT_EQ(engine::InstantOf(FILETIME{0, 0}), -11644473600LL);
}

// The file's creation instant against the instant of the listed midnight, in both halves of
// the daylight-saving year: a file created at midnight is current, one second before it is
// outdated. Turning the file time through one fixed offset would miss one of the two.
TEST(IsOutdated, ComparesInstantsAcrossDaylightSaving) {
    LocalZone zone(kCentralEurope);
    for (const char* date : {"2001-01-10", "2001-07-15", "2040-07-15"}) {
        const std::int64_t midnight = *ListedTime(date);
        EXPECT_FALSE(engine::IsOutdated(FileTimeAt(midnight), midnight)) << date;
        EXPECT_FALSE(engine::IsOutdated(FileTimeAt(midnight + 3600), midnight)) << date;
        EXPECT_TRUE(engine::IsOutdated(FileTimeAt(midnight - 1), midnight)) << date;
        EXPECT_TRUE(engine::IsOutdated(FileTimeAt(midnight - 1, 9999999), midnight)) << date;
    }
    // A date that cannot be converted leaves an existing file as it is.
    EXPECT_FALSE(engine::IsOutdated(FileTimeAt(0), std::nullopt));
}

TEST(ProgressPosition, TruncatesTheDoubleQuotient) {
    EXPECT_EQ(engine::ProgressPosition(0, 1), 0);
    EXPECT_EQ(engine::ProgressPosition(0, 0), 0);
    std::vector<int> four;
    for (int i = 0; i < 4; ++i) four.push_back(engine::ProgressPosition(i, 4));
    EXPECT_EQ(four, (std::vector<int>{0, 33, 66, 100}));
    EXPECT_EQ(engine::ProgressPosition(29, 51), 57);
    EXPECT_EQ(engine::ProgressPosition(50, 51), 100);
    EXPECT_EQ(engine::ProgressPosition(1, 2), 100);
    EXPECT_EQ(engine::ProgressPosition(99999, 100000), 100);
    EXPECT_EQ(engine::ProgressPosition(1, 100000), 0);
}

TEST(IsSafeListedName, RefusesNamesThatLeaveTheProductDirectory) {
    const std::size_t dir = std::string("C:\\Tamwix\\Pelmora\\").size();
    for (const char* name : {"a.dll", "sub\\a.dll", "sub/a.dll", "deep\\er\\a.dll", "..a.dll",
                             "a..dll", ".hidden", "CONSOLE.txt", "COM10", "\xE4rger.txt"}) {
        EXPECT_TRUE(engine::IsSafeListedName(name, dir)) << name;
    }
    const std::vector<std::vector<std::string>> refused = {
        // Out of the directory, or naming no file in it.
        {"", "\\a.dll", "/etc/passwd", "C:\\a.dll", "C:a.dll", "..", "..\\a.dll", "../a.dll"},
        {"sub\\..\\..\\a.dll", "sub\\.\\a.dll", "sub\\\\a.dll", "sub\\"},
        // Characters that Windows forbids in names.
        {"a*.dll", "a?.dll", "a<b", "a>b", "a\"b", "a|b", "a:stream", "a\tb", "a\x1f"},
        {std::string("a\0b", 3)},
        // Components that Windows would silently change.
        {"name.", "name ", "dir.\\a.dll"},
        // Devices.
        {"CON", "con.txt", "Nul", "sub\\aux.dll", "PRN .txt", "COM1", "lpt9.log", "COM\xB9"},
        {"CONIN$", "conout$.log", "LPT0"},
    };
    for (const auto& group : refused) {
        for (const std::string& name : group) {
            EXPECT_FALSE(engine::IsSafeListedName(name, dir)) << name;
        }
    }
    // The local path may take 259 characters, not one more.
    EXPECT_TRUE(engine::IsSafeListedName(std::string(259 - dir, 'x'), dir));
    EXPECT_FALSE(engine::IsSafeListedName(std::string(260 - dir, 'x'), dir));
}

}  // namespace
