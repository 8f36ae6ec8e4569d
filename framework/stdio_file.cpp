#include "stdio_file.h"

#include <cstring>
#include <new>

#include "exceptions.h"

namespace {

constexpr DWORD kBufferSize = 64 * 1024;
constexpr char kEndOfFile = '\x1A';

DWORD ShareModeOf(UINT openFlags) {
    switch (openFlags & 0x0070) {
        case CStdioFile::shareDenyWrite:
            return FILE_SHARE_READ;
        case CStdioFile::shareDenyNone:
            return FILE_SHARE_READ | FILE_SHARE_WRITE;
        default:
            return 0;
    }
}

}  // namespace

CStdioFile::CStdioFile() = default;

CStdioFile::~CStdioFile() = default;

bool CStdioFile::Open(const char* fileName, UINT openFlags) {
    Close();
    HANDLE handle = CreateFileA(fileName, GENERIC_READ, ShareModeOf(openFlags), nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    m_file.reset(handle);
    m_strFileName = fileName;
    m_buffer = std::make_unique<char[]>(kBufferSize);
    return true;
}

void CStdioFile::Close() {
    m_file.reset();
    m_buffer.reset();
    m_pos = m_end = 0;
    m_bEnded = false;
}

bool CStdioFile::Fill() {
    if (m_bEnded || !m_file) return false;
    DWORD got = 0;
    if (!ReadFile(m_file.get(), m_buffer.get(), kBufferSize, &got, nullptr)) {
        throw CFileException(m_strFileName, GetLastError());
    }
    m_pos = 0;
    m_end = got;
    if (got == 0) m_bEnded = true;
    return got != 0;
}

bool CStdioFile::ReadString(CString& line) {
    line.clear();
    bool readAnything = false;
    try {
        while (!m_bEnded) {
            if (m_pos == m_end && !Fill()) break;
            const char* begin = m_buffer.get() + m_pos;
            const char* end = m_buffer.get() + m_end;
            const auto* feed = static_cast<const char*>(std::memchr(begin, '\n', end - begin));
            const char* stop = feed ? feed : end;
            if (const auto* eof =
                    static_cast<const char*>(std::memchr(begin, kEndOfFile, stop - begin))) {
                line.append(begin, eof);
                readAnything = readAnything || eof != begin;
                m_bEnded = true;
                break;
            }
            line.append(begin, stop);
            readAnything = true;
            m_pos = static_cast<DWORD>(stop - m_buffer.get());
            if (feed) {
                ++m_pos;
                // The carriage return of a CR LF pair went into the line just before its
                // line feed, whichever buffer it came in.
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
        }
    } catch (const std::bad_alloc&) {
        throw CMemoryException();
    }
    return readAnything;
}
