// The search for local files. The path searched for is a pattern: * and ? in its last
// component match any run of characters and any one character; a path that ends in a
// separator matches nothing.
#pragma once

#include <memory>

#include "cstring.h"
#include "platform/handle_owners.h"
#include "platform/win32api.h"

class CFileFind {
  public:
    CFileFind();
    ~CFileFind();
    CFileFind(const CFileFind&) = delete;
    CFileFind& operator=(const CFileFind&) = delete;

    // Starts a search, closing the one before. True when something matched; no match is
    // current until FindNextFile.
    bool FindFile(const char* pattern);
    // Makes the next match current. Returns whether another match follows it, so the last
    // match returns false and is current all the same.
    bool FindNextFile();
    // Ends the search; calling it again does nothing.
    void Close();

    // About the current match (false or empty when there is none).
    bool GetCreationTime(FILETIME* time) const;
    CString GetFileName() const;
    bool IsDirectory() const;

  private:
    SearchHandle m_search;
    WIN32_FIND_DATAA m_next{};
    WIN32_FIND_DATAA m_current{};
    bool m_bHasNext = false;
    bool m_bHasCurrent = false;
};
