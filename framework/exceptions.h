// The framework's exceptions. Handlers let them pass; the dialog's message dispatch catches
// them and shows their text.
#pragma once

#include <exception>

#include "cstring.h"

class CException : public std::exception {
  public:
    // The text shown to the user; empty means "Internal application error.".
    virtual CString GetErrorMessage() const { return CString(); }
    const char* what() const noexcept override { return "framework exception"; }
};

class CMemoryException : public CException {
  public:
    CString GetErrorMessage() const override { return "Out of memory."; }
};

// A file operation failed in the middle (a read error other than reaching the end).
class CFileException : public CException {
  public:
    CFileException(CString fileName, unsigned long osError)
        : m_strFileName(std::move(fileName)), m_lOsError(osError) {}
    CString GetErrorMessage() const override;
    CString m_strFileName;
    unsigned long m_lOsError;
};
