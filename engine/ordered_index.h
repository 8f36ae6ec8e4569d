// Named entries that a run looks up mostly in the order they are kept in: a signed release's
// records and the content cache's entries are written in the list's order, which the run then
// follows. Each name is first looked for right after the last one found; an index by name is
// made only the first time that fails, so that a long list costs no index at all.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace engine {

template <class Name, class Value>
class OrderedIndex {
  public:
    using Entry = std::pair<Name, Value>;

    // The entries, to be filled before the first Find and not changed after it (the index
    // holds views of their names).
    std::vector<Entry>& Entries() { return m_entries; }
    const std::vector<Entry>& Entries() const { return m_entries; }

    // The value of the entry named name (the first, should two have the name), or null.
    const Value* Find(std::string_view name) {
        std::size_t found = m_next;
        if (found >= m_entries.size() || std::string_view(m_entries[found].first) != name) {
            if (m_index.empty()) {
                m_index.reserve(m_entries.size());
                for (std::size_t i = 0; i < m_entries.size(); ++i) {
                    m_index.emplace(std::string_view(m_entries[i].first), i);
                }
            }
            const auto indexed = m_index.find(name);
            if (indexed == m_index.end()) return nullptr;
            found = indexed->second;
        }
        m_next = found + 1;
        return &m_entries[found].second;
    }

    void Clear() {
        m_entries.clear();
        m_index.clear();
        m_next = 0;
    }

  private:
    std::vector<Entry> m_entries;
    std::size_t m_next = 0;
    std::unordered_map<std::string_view, std::size_t> m_index;
};

}  // namespace engine
