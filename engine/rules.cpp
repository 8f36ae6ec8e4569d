#include "rules.h"

#include <climits>
#include <ctime>
#include <string_view>

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
        if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos) return false;
    }
    return !IsDeviceName(component);
}

}  // namespace

int TextToInt(const CString& text) {
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

CString TrimListValue(const CString& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsWhiteSpace(text[begin])) ++begin;
    while (end > begin && IsWhiteSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

void ReadFileList(CStdioFile& file, CStringArray& names, CStringArray& dates,
                  std::vector<bool>& overlong) {
    CString name;
    CString date;
    bool nameTooLong = false;
    bool dateTooLong = false;
    while (file.ReadString(name, kMaxListLine, nameTooLong)) {
        // At the end of the file the date is empty.
        file.ReadString(date, kMaxListLine, dateTooLong);
        names.Add(TrimListValue(name));
        dates.Add(TrimListValue(date));
        overlong.push_back(nameTooLong || dateTooLong);
    }
}

ListedDate ParseListedDate(const CString& date) {
    auto part = [&date](size_t position, size_t length) {
        return position < date.size() ? TextToInt(date.substr(position, length)) : 0;
    };
    return ListedDate{part(0, 4), part(5, 2), part(8, 2)};
}

std::optional<std::int64_t> ListedTime(const CString& date) {
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
