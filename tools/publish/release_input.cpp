// The release's input, read and checked before anything is written.
#include "release_input.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <set>

#include "engine/dropped_files.h"
#include "engine/rules.h"
#include "mistakes.h"
#include "tree.h"

namespace publish {

namespace {

namespace fs = std::filesystem;

// A release file may not take the name of one of the tree's own files (Windows servers and
// clients fold case) nor look like a temporary file of this tool.
bool IsReservedName(const CString& name) {
    for (const char* own : {engine::kVersionFileName, engine::kFileListName, engine::kManifestName,
                            engine::kManifestSignatureName, engine::kDroppedListName}) {
        if (Folded(name) == Folded(own)) return true;
    }
    return IsTemporary(name);
}

// Bytes from 0x80 up: Kestrin on Windows reads a listed name in the ANSI code page, on Linux as
// UTF-8, so such a name lands as different names on the two systems.
bool HasEightBitByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::vector<ReleaseFile> ListRelease(const fs::path& from, bool allow8bitNames) {
    std::error_code error;
    if (!fs::is_directory(from, error)) Refuse(Shown(from) + " is not a directory");
    std::vector<ReleaseFile> files;
    std::set<std::string> folded;
    for (fs::recursive_directory_iterator it(from, error), end; !error && it != end;
         it.increment(error)) {
        const fs::path& path = it->path();
        const fs::file_status status = it->status();  // of what a symbolic link points to
        if (fs::is_directory(status)) {
            if (it->is_symlink()) Refuse(Shown(path) + " is a link to a directory; copy it in");
            continue;
        }
        if (!fs::is_regular_file(status)) Refuse(Shown(path) + " is not a regular file");
        const CString name = path.lexically_relative(from).generic_string();
        if (name.find('\\') != CString::npos) {
            Refuse("\"" + name + "\" holds a backslash, which Kestrin reads as a separator");
        }
        if (!engine::IsSafeListedName(name, kProductDirectoryLength)) {
            Refuse("\"" + name + "\" is a name that Kestrin refuses");
        }
        if (!allow8bitNames && HasEightBitByte(name)) {
            Refuse("\"" + name +
                   "\" holds bytes outside printable ASCII: Kestrin on Windows reads such a name "
                   "in the ANSI code page, Kestrin on Linux as UTF-8, so it lands as a different "
                   "name on each system. Rename it, or give --allow-8bit-names if every client "
                   "reads it the same way");
        }
        if (IsReservedName(name)) {
            Refuse("\"" + name + "\" is the name of a file that the tool writes itself");
        }
        if (!folded.insert(Folded(name)).second) {
            Refuse("\"" + name + "\" and another file differ only in case");
        }
        files.push_back({name, {}, {}, Change::New});
    }
    if (error) Fail("cannot read " + Shown(from) + ": " + error.message());
    if (files.empty()) Refuse("the release in " + Shown(from) + " has no files");
    std::sort(files.begin(), files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.name < b.name; });
    std::vector<CString> names;
    for (const ReleaseFile& file : files) names.push_back(file.name);
    CheckFoldedDirectories(names);
    return files;
}

// The version check reads the release number as atoi does, and takes the letter line as it
// is, byte for byte.
ReleaseVersion ParseVersion(const std::string& version) {
    size_t digits = 0;
    std::int64_t value = 0;
    for (; digits < version.size() && version[digits] >= '0' && version[digits] <= '9'; ++digits) {
        value = std::min<std::int64_t>(value * 10 + (version[digits] - '0'),
                                       std::int64_t{std::numeric_limits<int>::max()} + 1);
    }
    if (digits == 0 || value > std::numeric_limits<int>::max() || version.size() != digits + 1 ||
        !IsAsciiLetter(version.back())) {
        Refuse("--version " + version +
               ": the release number (decimal digits) and then one letter A to Z or a to z, as "
               "in 2B");
    }
    return {version.substr(0, digits), version.substr(digits)};
}

CString CheckedDate(const std::string& date) {
    const auto refuse = [&date](const std::string& why) { Refuse("--date " + date + ": " + why); };
    const bool form = date.size() == 10 && date[4] == '-' && date[7] == '-' &&
                      std::all_of(date.begin(), date.end(),
                                  [](char c) { return c == '-' || (c >= '0' && c <= '9'); });
    if (!form) refuse("not a date of the form YYYY-MM-DD (a year of four digits, up to 9999)");
    const engine::ListedDate parts = engine::ParseListedDate(date);
    if (parts.month < 1 || parts.month > 12) refuse("there is no month " + date.substr(5, 2));
    std::tm noon{};
    noon.tm_year = parts.year - 1900;
    noon.tm_mon = parts.month - 1;
    noon.tm_mday = parts.day;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    // mktime moves a day that the month does not have into the next month.
    if (parts.day < 1 || std::mktime(&noon) == -1 || noon.tm_mday != parts.day) {
        refuse("the month has no day " + date.substr(8, 2));
    }
    if (parts.year < 1970) refuse("Kestrin reads dates from 1970 on");
    if (!engine::ListedTime(date)) {
        refuse("past the last date that Kestrin converts on every system (the end of 3000)");
    }
    return date;
}

CString DayAfter(std::int64_t time) {
    const std::time_t start = time;
    std::tm day{};
    localtime_r(&start, &day);
    day.tm_mday += 1;
    day.tm_hour = 12;
    day.tm_min = day.tm_sec = 0;
    day.tm_isdst = -1;
    std::mktime(&day);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &day);
    return text;
}

CString Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

}  // namespace publish
