// What the downloads of both systems read out of an FTP server's replies: the code of a reply,
// the size of a SIZE reply ("213 1234"), the time of an MDTM reply and the byte count of a 125 or
// 150 reply ("... (1234 bytes)").
#pragma once

#include <optional>
#include <string_view>

#include "platform/win32api.h"

namespace ftp_replies {

// The decimal number that text holds and nothing else; nothing when it holds no number or one
// beyond 64 bits.
inline std::optional<ULONGLONG> Number(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    ULONGLONG value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<ULONGLONG>(c - '0');
    }
    return value;
}

// The last line of a reply ("NNN text"), its line end dropped; a reply of several lines ends
// with the one whose code a blank follows.
inline std::string_view LastLine(std::string_view reply) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
    const size_t feed = reply.rfind('\n');
    return feed == std::string_view::npos ? reply : reply.substr(feed + 1);
}

// The code of a reply's last line; 0 when it has none.
inline DWORD Code(std::string_view reply) {
    const std::string_view line = LastLine(reply);
    if (line.size() > 3 && line[3] != ' ') return 0;
    return static_cast<DWORD>(Number(line.substr(0, 3)).value_or(0));
}

// The size a SIZE reply gives.
inline std::optional<ULONGLONG> Size(std::string_view reply) {
    const std::string_view line = LastLine(reply);
    if (Code(line) != 213 || line.size() < 5) return std::nullopt;
    return Number(line.substr(4));
}

// The time of an MDTM reply ("213 YYYYMMDDhhmmss", a fraction of a second allowed after a dot)
// as the number its fourteen digits make.
inline std::optional<ULONGLONG> Modified(std::string_view reply) {
    const std::string_view line = LastLine(reply);
    if (Code(line) != 213 || line.size() < 18) return std::nullopt;
    const std::string_view stamp = line.substr(4);
    if (stamp.size() > 14 && stamp[14] != '.') return std::nullopt;
    return Number(stamp.substr(0, 14));
}

// The N of "(N bytes)" in a 125 or 150 reply.
inline std::optional<ULONGLONG> ByteCount(std::string_view reply) {
    const std::string_view line = LastLine(reply);
    const DWORD code = Code(line);
    const size_t end = line.rfind(" bytes)");
    if ((code != 125 && code != 150) || end == std::string_view::npos) return std::nullopt;
    const size_t open = line.rfind('(', end);
    if (open == std::string_view::npos) return std::nullopt;
    return Number(line.substr(open + 1, end - open - 1));
}

}  // namespace ftp_replies
