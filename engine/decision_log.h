// What the file-list synchronisation tells the diagnosis log (framework/diag_log.h) of each
// listed entry: whether it is fetched, and why. Nothing is written while the log is off.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/manifest.h"
#include "framework/cstring.h"
#include "platform/win32api.h"

namespace engine {

// An entry decided by its date: its copy's creation time (none: no copy) against the local
// midnight of its listed date (none: a date that does not convert).
void LogDateDecision(const CString& name, const std::optional<FILETIME>& created,
                     std::optional<std::int64_t> listedTime, bool fetch);

// An entry decided by content: whether its copy has the record's size and SHA-256.
void LogContentDecision(const CString& name, const ManifestRecord& record, bool unchanged);

// An entry that is not fetched at all: its name is refused (it would leave the product
// directory, or its line is overlong) or a signed release has no record of it.
void LogRefusedEntry(const CString& name, bool safe);

}  // namespace engine
