#include "framework/diag_log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace diag {

namespace {

const std::string& LogPath() {
    static const std::string path = [] {
        const char* named = std::getenv("KESTRIN_LOG");
        return std::string(named != nullptr ? named : "");
    }();
    return path;
}

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The calendar date of a day counted from 1970-01-01 (proleptic Gregorian).
void CivilDate(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    month = shifted < 10 ? shifted + 3 : shifted - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

// "YYYY-MM-DD HH:MM:SS" of seconds since 1970, then suffix.
std::string Stamp(std::int64_t seconds, const char* suffix) {
    const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t inDay = seconds - days * 86400;
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilDate(days, year, month, day);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02d:%02d:%02d%s",
                  static_cast<long long>(year), month, day, static_cast<int>(inDay / 3600),
                  static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60), suffix);
    return text;
}

}  // namespace

bool Enabled() {
    return !LogPath().empty();
}

std::string UtcText(std::int64_t seconds) {
    return Stamp(seconds, " UTC");
}

std::string Escaped(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            line += escape;
        } else {
            line += c;
        }
    }
    return line;
}

void Write(std::string_view text) {
    if (!Enabled()) return;
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ ", static_cast<int>(now % 1000));
    const std::string line = Stamp(now / 1000, millis) + Escaped(text) + "\n";
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    // Opened for each line, so that a file removed or made writable in the middle of a run
    // takes the lines that follow, and nothing stays open when the program ends.
    const std::unique_ptr<std::FILE, FileClose> file(std::fopen(LogPath().c_str(), "ab"));
    if (file) std::fwrite(line.data(), 1, line.size(), file.get());
}

}  // namespace diag
