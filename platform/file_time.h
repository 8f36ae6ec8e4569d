// File times as numbers: a FILETIME counts 100-nanosecond ticks since 1601-01-01 00:00 UTC.
// Both systems' code reads and makes them through these helpers, so the two epochs and the
// tick size are written down once.
#pragma once

#include <cstdint>

#include "platform/win32api.h"

namespace filetime {

constexpr std::int64_t kTicksPerSecond = 10000000;
// Seconds, and ticks, from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochOffsetSeconds = 11644473600;
constexpr std::int64_t kEpochOffsetTicks = kEpochOffsetSeconds * kTicksPerSecond;

constexpr std::uint64_t TicksOf(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

constexpr FILETIME FromTicks(std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xffffffffu), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace filetime
