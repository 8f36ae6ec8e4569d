// The one owner of a file descriptor, for the POSIX services and for code that runs on POSIX
// only (the terminal front end, the publishing tool). Not part of the Windows build.
#pragma once

#include <unistd.h>

namespace posix {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    explicit operator bool() const { return Valid(); }

    void Reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes now and says whether close() succeeded: a delayed write error shows up there.
    bool Close() {
        const int fd = Release();
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int m_fd = -1;
};

}  // namespace posix
