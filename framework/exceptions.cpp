#include "framework/exceptions.h"

#include <string>

CString CFileException::GetErrorMessage() const {
    CString text = "An error occurred while reading " + m_strFileName + ".";
    if (m_lOsError != 0) text += " (system error " + std::to_string(m_lOsError) + ")";
    return text;
}
