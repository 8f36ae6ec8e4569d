// The dates that names were listed with, and with what content, over every publication of a
// server root: kept in SERVER_ROOT/Listed-dates.txt, beside Update/ and so never served. A
// client keeps a file fetched on or after its listed date; a name listed again with a date it
// already had, but other content, would never reach the clients that fetched the first copy.
#pragma once

#include <filesystem>
#include <map>
#include <utility>
#include <vector>

#include "engine/manifest.h"
#include "framework/cstring.h"

namespace publish {

constexpr char kHistoryFile[] = "Listed-dates.txt";

struct ListedContent {
    CString name;
    CString date;
    engine::ManifestRecord record;
};

class DateHistory {
  public:
    // The history of root; empty when it has none. A file that cannot be read stops.
    static DateHistory Read(const std::filesystem::path& root);

    // Refuses a name listed with a date it already had with other content, naming the earliest
    // date that is free for every such name.
    void CheckReused(const std::vector<ListedContent>& listed) const;

    // Adds what a publication lists.
    void Record(const std::vector<ListedContent>& listed);
    // Writes the history to root.
    void Write(const std::filesystem::path& root) const;

  private:
    std::map<std::pair<CString, CString>, engine::ManifestRecord> m_entries;  // (name, date)
};

}  // namespace publish
