// The rules the version check and the file-list synchronisation rest on: text to integer,
// the release comparison, the list's values and pairing, listed dates and file times as
// instants, the progress position, and which listed names may be used at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "framework/cstring.h"
#include "platform/win32api.h"

class CStdioFile;

namespace engine {

// The integer at the start of text, read as the C library's atoi reads it: leading white
// space (0x09 to 0x0D, 0x20) skipped, an optional sign, then decimal digits up to the first
// other character; text without leading digits gives 0. Values beyond int are held at its
// bounds.
int TextToInt(std::string_view text);

// Whether the server's release is newer than the installed one: its number is greater, or
// the numbers are equal and its letter text sorts after the installed letter text. Letter
// texts compare byte by byte as unsigned codes, without folding case or trimming; a text that
// is a proper beginning of the other sorts first.
bool IsNewerRelease(const CString& serverNumber, const CString& serverLetter,
                    const CString& installedNumber, const CString& installedLetter);

// fileName in directory: a backslash goes between them unless directory ends in one.
CString PathInDirectory(const CString& directory, const char* fileName);

// The name of this run's own copy of a server file in the temporary directory: stem, a hyphen,
// the process id and extension ("Version-4711.txt"), so that runs at the same time never read,
// replace or remove each other's copies.
CString RunCopyName(const char* stem, const char* extension);

// text without leading and trailing white space: 0x09 to 0x0D and 0x20. Bytes from 0x80 up
// are never white space, whatever the code page.
std::string_view TrimListValue(std::string_view text);

// What a file list from the server may hold: a larger list is not read at all, and an entry
// with a longer line is refused. Both are many times what any real list needs (a name fits in
// MAX_PATH; a million entries with names of 50 characters take about 64 MiB) and keep the memory
// a list takes to its own size, whatever the server sends: the list is kept as the text it came
// in, and its entries are taken apart one at a time as the run reaches them.
constexpr ULONGLONG kMaxListBytes = 64 * 1024 * 1024;
// The version file is three short lines; no larger one is received, let alone read.
constexpr ULONGLONG kMaxVersionFileBytes = 64 * 1024;
constexpr std::size_t kMaxListLine = 4096;

// A file list as pairs of lines, a name and then a date, read by the line rules of CStdioFile
// (a line ends at a line feed, a carriage return before it is dropped, a byte 0x1A ends the
// text). The list ends where a name line would begin and the text has ended; a last name
// without a date line gets an empty date. An empty line is a value like any other.
class FileList {
  public:
    struct Entry {
        // Trimmed (TrimListValue); a view into the list, valid while the list lives.
        std::string_view name;
        std::string_view date;
        // Whether a line of the entry is longer than kMaxListLine; its value then holds that
        // line's beginning.
        bool overlong = false;
    };

    explicit FileList(CString text);

    // The whole of file, read from where it stands; nothing when it holds more than
    // kMaxListBytes. A read error raises CFileException.
    static std::optional<FileList> Read(CStdioFile& file);

    std::ptrdiff_t Count() const { return m_count; }
    // The next entry in list order; false after the last.
    bool Next(Entry& entry) { return NextFrom(m_pos, entry); }
    // The entry that begins at position pos of the text (0 for the first), pos then the
    // next one's; false after the last. A reader of its own: Next's place is not moved.
    bool NextFrom(std::size_t& pos, Entry& entry) const;

  private:
    // The value of the line at pos and whether it was too long; false at the end of the text.
    bool NextLine(std::size_t& pos, std::string_view& value, bool& overlong) const;

    CString m_text;
    std::size_t m_pos = 0;
    std::ptrdiff_t m_count = 0;
};

struct ListedDate {
    int year;
    int month;
    int day;
};

// A listed date taken apart by character positions: 1 to 4 the year, 6 and 7 the month, 9
// and 10 the day, each read by TextToInt (the separators at 5 and 8 are not checked; a part
// beyond the end of a short date is empty and gives 0).
ListedDate ParseListedDate(std::string_view date);

// The instant, in seconds since 1970-01-01 00:00 UTC, of local midnight at the start of the
// listed date: months and days out of range carry over into the neighbouring months and
// years, and the local-time conversion decides on daylight saving. Nothing when the date
// cannot be converted: the result must lie from 1970 to the end of the year 3000, the span
// that the C libraries of both systems convert.
std::optional<std::int64_t> ListedTime(std::string_view date);

// The instant of a file time in whole seconds since 1970-01-01 00:00 UTC, rounded down.
std::int64_t InstantOf(const FILETIME& time);

// Whether a local file created at `created` is older than an entry listed at listedTime,
// comparing the two instants (strictly earlier). A date that could not be converted never
// makes an existing file outdated.
bool IsOutdated(const FILETIME& created, std::optional<std::int64_t> listedTime);

// The progress bar's position once entry `index` of `count` entries is done:
// (index ÷ (count − 1)) × 100 in double precision, truncated; 0 for a list of one entry.
int ProgressPosition(std::ptrdiff_t index, std::ptrdiff_t count);

// Whether a name from the server may be used inside the product directory, whose path is
// productDirectoryLength characters long. Refused: an empty name; an absolute one or one with
// a drive; a component that is empty, ends in a dot or a blank (so "." and ".." too), holds a
// control character or one of < > : " | ? *, or names a device (CON, PRN, AUX, NUL, COM0 to
// COM9, LPT0 to LPT9 and their superscript-digit forms, CONIN$, CONOUT$, with or without an
// extension, in any case); and a name that makes the local path longer than 259 characters.
// Backslash and slash both separate components.
bool IsSafeListedName(const CString& name, std::size_t productDirectoryLength);

// A listed name as the server is asked for it: components separated by "/" only, since to an FTP
// server a backslash is part of a file name, not a separator.
CString RemoteName(const CString& name);

}  // namespace engine
