#include "history.h"

#include <algorithm>
#include <sstream>
#include <string>

#include "engine/rules.h"
#include "release_input.h"
#include "tree.h"

namespace publish {

// A line: the date, the size, the SHA-256 in hexadecimal, then the name to the line's end.
DateHistory DateHistory::Read(const std::filesystem::path& root) {
    DateHistory history;
    const std::filesystem::path path = root / kHistoryFile;
    const std::optional<std::string> text = ReadWholeFile(path);
    std::istringstream lines(text.value_or(""));
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::istringstream fields(line);
        std::string date, hex, name;
        ListedContent entry;
        fields >> date >> entry.record.size >> hex;
        std::getline(fields, name);
        if (!fields || name.size() < 2 || !net::BytesFromHex(hex, entry.record.sha256)) {
            Fail(Shown(path) + ", line " + std::to_string(number) +
                 ": damaged; restore it from a copy (it keeps the dates that names were listed "
                 "with)");
        }
        history.m_entries[{CString(name.substr(1)), CString(date)}] = entry.record;
    }
    return history;
}

void DateHistory::CheckReused(const std::vector<ListedContent>& listed) const {
    std::string reused;
    std::int64_t latest = 0;
    for (const ListedContent& file : listed) {
        const auto found = m_entries.find({file.name, file.date});
        if (found == m_entries.end() ||
            found->second.Matches(file.record.size, file.record.sha256)) {
            continue;
        }
        reused += "\n  " + file.name + " (" + file.date + ")";
        for (const auto& [key, record] : m_entries) {
            if (key.first == file.name) {
                latest = std::max(latest, engine::ListedTime(key.second).value_or(0));
            }
        }
    }
    if (reused.empty()) return;
    Refuse(
        "files would be listed with a date that they already had with other content; a "
        "client that fetched the earlier copy on or after that date would keep it:" +
        reused + "\nNothing was written. Publish with --date " + DayAfter(latest) + " or later.");
}

void DateHistory::Record(const std::vector<ListedContent>& listed) {
    for (const ListedContent& file : listed) m_entries[{file.name, file.date}] = file.record;
}

void DateHistory::Write(const std::filesystem::path& root) const {
    std::string text;
    for (const auto& [key, record] : m_entries) {
        text += key.second + " " + std::to_string(record.size) + " " + net::HexText(record.sha256) +
                " " + key.first + "\n";
    }
    WriteFileAtomically(root / kHistoryFile, text);
}

}  // namespace publish
