// What a release is made of, read and checked before anything is written: the files of the
// release directory with their names, the version, the dates.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/manifest.h"
#include "framework/cstring.h"
#include "lists.h"

namespace publish {

enum class Change { New, Changed, Unchanged };

struct ReleaseFile {
    CString name;  // as listed: the path below the release directory, "/" between directories
    engine::ManifestRecord record;
    CString date;
    Change change = Change::New;
};

// Whether text holds a control character (below 0x20, or 0x7F).
bool HasControlCharacter(std::string_view text);

// The files below from, sorted by name; refuses a name that Kestrin refuses or would land
// differently on the two systems (bytes outside printable ASCII, unless allow8bitNames), one of
// the tree's own names, two that differ only in case, anything but regular files, and none.
std::vector<ReleaseFile> ListRelease(const std::filesystem::path& from, bool allow8bitNames);

// The release number and letter of --version as the version check reads them; refuses what it
// cannot read (not decimal digits within int and then one ASCII letter).
ReleaseVersion ParseVersion(const std::string& version);

// --date: YYYY-MM-DD, a real date that Kestrin can convert; refuses another.
CString CheckedDate(const std::string& date);

// The earliest date that is later than the listed date starting at time.
CString DayAfter(std::int64_t time);

// Today's local date, YYYY-MM-DD.
CString Today();

}  // namespace publish
