// A text file read line by line, as a C library reads a file opened in text mode:
// - a line ends at a line feed, which is not part of it; a carriage return directly before
//   the line feed is dropped, a carriage return anywhere else is kept;
// - a line may be of any length, and the last one needs no line feed;
// - a byte 0x1A ends the file.
// Only reading is offered.
#pragma once

#include <cstddef>
#include <memory>

#include "cstring.h"
#include "platform/handle_owners.h"
#include "platform/win32api.h"

class CStdioFile {
  public:
    // Open flags: the access (reading only), the sharing, the type (text only).
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyNone = 0x0040,
        typeText = 0x4000,
    };

    CStdioFile();
    ~CStdioFile();
    CStdioFile(const CStdioFile&) = delete;
    CStdioFile& operator=(const CStdioFile&) = delete;

    // Opens an existing file for reading (closing any file open before); the share flag of
    // openFlags says what other openers may do meanwhile. False when the file cannot be
    // opened, with the reason in GetLastError().
    bool Open(const char* fileName, UINT openFlags);
    // Reads the next line into line. False when the file had ended, with line empty. A read
    // error raises CFileException; memory running out raises CMemoryException.
    bool ReadString(CString& line);
    // The same, keeping at most limit characters of the line: the rest of a longer line is read
    // past and dropped, and tooLong says so.
    bool ReadString(CString& line, std::size_t limit, bool& tooLong);
    // Reads up to count bytes as they are, from where the lines read so far end: 0 once the file
    // has ended (a byte 0x1A ends nothing here). A read error raises CFileException.
    UINT Read(void* buffer, UINT count);
    // The size of the open file in bytes; 0 when none is open or the size cannot be read.
    ULONGLONG GetLength() const;
    // Closes the file; calling it again does nothing.
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    const CString& GetFilePath() const { return m_strFileName; }

  private:
    // Refills the buffer; false at the end of the file.
    bool Fill();

    FileHandle m_file;
    CString m_strFileName;
    std::unique_ptr<char[]> m_buffer;
    DWORD m_pos = 0;
    DWORD m_end = 0;
    bool m_bEnded = false;
};
