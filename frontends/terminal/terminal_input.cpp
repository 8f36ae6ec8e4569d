#include "frontends/terminal/terminal_input.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr size_t kChunk = 4096;

}  // namespace

void LiveInput::Reset(size_t used) {
    char* begin = m_data.data();
    setg(begin, begin + used, begin + m_data.size());
}

LiveInput::int_type LiveInput::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    // All read: what arrived before counts no more.
    m_data.clear();
    m_mark = 0;
    if (!m_ended) ReadChunk();
    Reset(0);
    return m_data.empty() ? traits_type::eof() : traits_type::to_int_type(m_data[0]);
}

void LiveInput::ReadArrived() {
    const size_t used = Used();
    pollfd fd{m_fd, POLLIN, 0};
    while (!m_ended && poll(&fd, 1, 0) > 0 && (fd.revents & (POLLIN | POLLHUP)) != 0) {
        if (!ReadChunk()) break;
    }
    Reset(used);
}

bool LiveInput::ReadChunk() {
    char chunk[kChunk];
    for (;;) {
        const ssize_t n = read(m_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_ended = true;
            return false;
        }
        m_data.append(chunk, static_cast<size_t>(n));
        return true;
    }
}

void LiveInput::Mark() {
    ReadArrived();
    m_mark = m_data.size();
}

std::optional<std::string> LiveInput::TakeArrived(bool (*wanted)(std::string_view line)) {
    ReadArrived();
    const size_t used = Used();
    size_t start = std::max(m_mark, used);
    // A line that began before the mark was typed ahead: the lines after it are looked at.
    if (start > 0 && start < m_data.size() && m_data[start - 1] != '\n') {
        const size_t end = m_data.find('\n', start);
        if (end == std::string::npos) return std::nullopt;
        start = end + 1;
    }
    for (size_t end; (end = m_data.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line(m_data.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!wanted(line)) continue;
        std::string taken(line);
        m_data.erase(start, end + 1 - start);
        Reset(used);
        return taken;
    }
    return std::nullopt;
}
