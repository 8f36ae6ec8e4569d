// The diagnosis log, for a support desk: off unless the environment names a file
// (KESTRIN_LOG=FILE), and then one line appended to that file for each step of the program (what
// was sent to the server and what came back, each file's decision, each transfer, the reason
// behind each message box, the run's end), each stamped with the time. A log that cannot be
// opened or written is left alone: it never changes what the program does. Lines from several
// threads stay whole.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace diag {

// Whether KESTRIN_LOG names a file (read once, the first time it is asked).
bool Enabled();

// Appends one line: the time (UTC, to the millisecond), then text, in which line breaks and
// other control characters are written as escapes (\r, \n, \xNN), so that a line is one step.
void Write(std::string_view text);

// Writes the parts, each as a stream would, as one line; costs nothing while the log is off.
template <class... Parts>
void Log(const Parts&... parts) {
    if (!Enabled()) return;
    std::ostringstream line;
    (line << ... << parts);
    Write(line.str());
}

// An instant given in seconds since 1970-01-01 00:00 UTC, as "YYYY-MM-DD HH:MM:SS UTC".
std::string UtcText(std::int64_t seconds);

// text as one line of the log writes it (see Write).
std::string Escaped(std::string_view text);

}  // namespace diag
