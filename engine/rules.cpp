#include "rules.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <ctime>
#include <string_view>

#include "framework/exceptions.h"
#include "framework/stdio_file.h"
#include "platform/file_time.h"

// The listed dates reach past January 2038; a C library with a 32-bit time_t would turn
// every later date into a failure.
static_assert(sizeof(std::time_t) >= 8, "the calendar time must be 64 bits wide");

namespace engine {

namespace {

bool IsWhiteSpace(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == 0x20 || (byte >= 0x09 && byte <= 0x0D);
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// 3000-12-31 23:59:59 UTC, the last moment the Windows C library's 64-bit conversion gives.
constexpr std::int64_t kLastInstant = 32535215999LL;

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    }
    return true;
}

// Windows opens a device instead of a file for these names, whatever extension follows and
// with blanks before the extension ignored.
bool IsDeviceName(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (EqualsIgnoringCase(base, device)) return true;
    }
    if (base.size() == 4 && (EqualsIgnoringCase(base.substr(0, 3), "COM") ||
                             EqualsIgnoringCase(base.substr(0, 3), "LPT"))) {
        // A digit, or superscript one, two or three as the ANSI code page writes them.
        const auto last = static_cast<unsigned char>(base[3]);
        return (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
    }
    return false;
}

bool IsSafeComponent(std::string_view component) {
    if (component.empty()) return false;
    if (component.back() == '.' || component.back() == ' ') return false;
    for (char c : component) {
        if (static_cast<unsigned char>(c) < 0x20) return false;
        switch (c) {
            case '<':
            case '>':
            case ':':
            case '"':
            case '|':
            case '?':
            case '*':
                return false;
            default:
                break;
        }
    }
    return !IsDeviceName(component);
}

}  // namespace

int TextToInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    return static_cast<int>(value);
}

bool IsNewerRelease(const CString& serverNumber, const CString& serverLetter,
                    const CString& installedNumber, const CString& installedLetter) {
    const int server = TextToInt(serverNumber);
    const int installed = TextToInt(installedNumber);
    if (server != installed) return server > installed;
    // std::string compares through char_traits<char>, which orders bytes as unsigned codes.
    return serverLetter.compare(installedLetter) > 0;
}

CString PathInDirectory(const CString& directory, const char* fileName) {
    CString path = directory;
    if (path.empty() || path.back() != '\\') path += '\\';
    return path + fileName;
}

CString RunCopyName(const char* stem, const char* extension) {
    return CString(stem) + "-" + std::to_string(GetCurrentProcessId()) + extension;
}

std::string_view TrimListValue(std::string_view text) {
    while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
    return text;
}

FileList::FileList(CString text) : m_text(std::move(text)) {
    // The text ends at its first 0x1A, as a file read in text mode does.
    if (const size_t end = m_text.find('\x1A'); end != CString::npos) m_text.resize(end);
    // A line per line feed, and one more for what follows the last when anything does.
    const char* const begin = m_text.data();
    const char* const end = begin + m_text.size();
    std::ptrdiff_t lines = 0;
    for (const char* c = begin; (c = static_cast<const char*>(std::memchr(c, '\n', end - c)));
         ++c) {
        ++lines;
    }
    if (!m_text.empty() && m_text.back() != '\n') ++lines;
    m_count = (lines + 1) / 2;
}

std::optional<FileList> FileList::Read(CStdioFile& file) {
    CString text;
    // Read in one piece where the size is known, the bound aside.
    text.reserve(static_cast<size_t>(std::min(file.GetLength(), kMaxListBytes + 1)));
    char piece[64 * 1024];
    for (;;) {
        const UINT got = file.Read(piece, sizeof piece);
        if (got == 0) break;
        if (text.size() + got > kMaxListBytes) return std::nullopt;
        try {
            text.append(piece, got);
        } catch (const std::bad_alloc&) {
            throw CMemoryException();
        }
    }
    return FileList(std::move(text));
}

bool FileList::NextLine(std::size_t& pos, std::string_view& value, bool& overlong) const {
    if (pos >= m_text.size()) return false;
    std::string_view line(m_text.data() + pos, m_text.size() - pos);
    const size_t feed = line.find('\n');
    if (feed != std::string_view::npos) {
        line = line.substr(0, feed);
        pos += feed + 1;
        // Only the carriage return of a CR LF pair is dropped.
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    } else {
        pos = m_text.size();
    }
    overlong = line.size() > kMaxListLine;
    value = TrimListValue(line.substr(0, kMaxListLine));
    return true;
}

bool FileList::NextFrom(std::size_t& pos, Entry& entry) const {
    bool nameTooLong = false;
    bool dateTooLong = false;
    if (!NextLine(pos, entry.name, nameTooLong)) return false;
    // At the end of the text the date is empty.
    if (!NextLine(pos, entry.date, dateTooLong)) entry.date = {};
    entry.overlong = nameTooLong || dateTooLong;
    return true;
}

ListedDate ParseListedDate(std::string_view date) {
    auto part = [&date](size_t position, size_t length) {
        return position < date.size() ? TextToInt(date.substr(position, length)) : 0;
    };
    return ListedDate{part(0, 4), part(5, 2), part(8, 2)};
}

std::optional<std::int64_t> ListedTime(std::string_view date) {
    const ListedDate parts = ParseListedDate(date);
    std::tm local{};
    local.tm_year = parts.year - 1900;
    local.tm_mon = parts.month - 1;
    local.tm_mday = parts.day;
    local.tm_isdst = -1;
    const std::time_t instant = std::mktime(&local);
    // -1, the failure result, is refused with every other moment before 1970.
    if (instant < 0 || instant > kLastInstant) return std::nullopt;
    return static_cast<std::int64_t>(instant);
}

std::int64_t InstantOf(const FILETIME& time) {
    const std::uint64_t ticks = filetime::TicksOf(time);
    // A file time beyond the signed range is none that a file system hands out.
    const std::int64_t sinceEpoch =
        static_cast<std::int64_t>(ticks > INT64_MAX ? INT64_MAX : ticks) -
        filetime::kEpochOffsetTicks;
    std::int64_t seconds = sinceEpoch / filetime::kTicksPerSecond;
    if (sinceEpoch % filetime::kTicksPerSecond < 0) --seconds;
    return seconds;
}

bool IsOutdated(const FILETIME& created, std::optional<std::int64_t> listedTime) {
    return listedTime && InstantOf(created) < *listedTime;
}

int ProgressPosition(std::ptrdiff_t index, std::ptrdiff_t count) {
    if (count <= 1) return 0;
    // Each step is rounded to a double as it is stored: the x87 unit of a 32-bit build would
    // otherwise carry extra precision and turn 29 ÷ 50 × 100 = 57.99... into 58.
    volatile double quotient = static_cast<double>(index) / static_cast<double>(count - 1);
    volatile double position = quotient * 100.0;
    return static_cast<int>(position);
}

bool IsSafeListedName(const CString& name, std::size_t productDirectoryLength) {
    if (name.empty() || productDirectoryLength + name.size() > MAX_PATH - 1) return false;
    size_t begin = 0;
    for (;;) {
        size_t end = begin;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        if (!IsSafeComponent(std::string_view(name).substr(begin, end - begin))) return false;
        if (end == name.size()) return true;
        begin = end + 1;
    }
}

CString RemoteName(const CString& name) {
    CString remote = name;
    for (char& c : remote) {
        if (IsSeparator(c)) c = '/';
    }
    return remote;
}

}  // namespace engine
