// A growable array of strings, indexed from 0. Running out of memory while it grows raises
// CMemoryException, as every allocation of the framework does.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "cstring.h"
#include "exceptions.h"

class CStringArray {
  public:
    std::ptrdiff_t GetSize() const { return static_cast<std::ptrdiff_t>(m_items.size()); }
    bool IsEmpty() const { return m_items.empty(); }

    // Appends a copy of text; returns its index.
    std::ptrdiff_t Add(const CString& text) {
        try {
            m_items.push_back(text);
        } catch (const std::bad_alloc&) {
            throw CMemoryException();
        }
        return GetSize() - 1;
    }

    // index must lie in [0, GetSize()).
    const CString& GetAt(std::ptrdiff_t index) const { return m_items.at(Slot(index)); }
    const CString& operator[](std::ptrdiff_t index) const { return GetAt(index); }
    CString& operator[](std::ptrdiff_t index) { return m_items.at(Slot(index)); }

    void RemoveAll() { m_items.clear(); }

  private:
    // A negative index becomes a huge one, which at() refuses.
    static std::size_t Slot(std::ptrdiff_t index) { return static_cast<std::size_t>(index); }

    std::vector<CString> m_items;
};
