#include "file_find.h"

CFileFind::CFileFind() = default;

CFileFind::~CFileFind() = default;

bool CFileFind::FindFile(const char* pattern) {
    Close();
    HANDLE search = FindFirstFileA(pattern, &m_next);
    if (search == INVALID_HANDLE_VALUE) return false;
    m_search.reset(search);
    m_bHasNext = true;
    return true;
}

// On Windows FindNextFile is a macro for FindNextFileA, in this declaration as in every call
// of it; the system's function is therefore always called by its global name.
bool CFileFind::FindNextFile() {
    if (!m_bHasNext) return false;
    m_current = m_next;
    m_bHasCurrent = true;
    m_bHasNext = ::FindNextFileA(m_search.get(), &m_next) != FALSE;
    return m_bHasNext;
}

void CFileFind::Close() {
    m_search.reset();
    m_bHasNext = m_bHasCurrent = false;
}

bool CFileFind::GetCreationTime(FILETIME* time) const {
    if (!m_bHasCurrent || time == nullptr) return false;
    *time = m_current.ftCreationTime;
    return true;
}

CString CFileFind::GetFileName() const {
    return m_bHasCurrent ? m_current.cFileName : "";
}

bool CFileFind::IsDirectory() const {
    return m_bHasCurrent && (m_current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
