#include "stdio_file.h"

#include <algorithm>
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

ULONGLONG CStdioFile::GetLength() const {
    if (!m_file) return 0;
    DWORD high = 0;
    const DWORD low = GetFileSize(m_file.get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return 0;
    return (ULONGLONG{high} << 32) | low;
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

UINT CStdioFile::Read(void* buffer, UINT count) {
    if (!m_file || count == 0) return 0;
    // What the lines read so far left in the buffer comes first.
    if (m_pos < m_end) {
        const UINT taken = std::min<UINT>(count, m_end - m_pos);
        std::memcpy(buffer, m_buffer.get() + m_pos, taken);
        m_pos += taken;
        return taken;
    }
    DWORD got = 0;
    if (!ReadFile(m_file.get(), buffer, count, &got, nullptr)) {
        throw CFileException(m_strFileName, GetLastError());
    }
    return got;
}

bool CStdioFile::ReadString(CString& line) {
    bool tooLong = false;
    return ReadString(line, CString::npos - 1, tooLong);
}

bool CStdioFile::ReadString(CString& line, std::size_t limit, bool& tooLong) {
    line.clear();
    tooLong = false;
    // One character more than the limit is kept: it may be the CR of a CR LF pair.
    auto append = [&line, &tooLong, limit](const char* begin, const char* end) {
        const std::size_t room = limit + 1 - line.size();
        if (static_cast<std::size_t>(end - begin) > room) {
            end = begin + room;
            tooLong = true;
        }
        line.append(begin, end);
    };
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
                append(begin, eof);
                readAnything = readAnything || eof != begin;
                m_bEnded = true;
                break;
            }
            append(begin, stop);
            readAnything = true;
            m_pos = static_cast<DWORD>(stop - m_buffer.get());
            if (feed) {
                ++m_pos;
                // The carriage return of a CR LF pair went into the line just before its
                // line feed, whichever buffer it came in.
                if (!tooLong && !line.empty() && line.back() == '\r') line.pop_back();
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        throw CMemoryException();
    }
    if (line.size() > limit) {
        line.resize(limit);
        tooLong = true;
    }
    return readAnything;
}
