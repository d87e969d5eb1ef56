#pragma once

#include <QString>

#include <csignal>
#include <cstring>
#include <unistd.h>
#include <utility>

// One open file descriptor, closed when its owner goes.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(std::exchange(m_fd, -1));
    }

private:
    int m_fd = -1;
};

// The system's words for an errno value.
inline QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A write past a file-size limit (ulimit -f) then fails with EFBIG, which the
// writers handle as a full disk, instead of ending the program with SIGXFSZ.
inline void ignoreFileSizeSignal()
{
    ::signal(SIGXFSZ, SIG_IGN);
}

// A write into a pipe whose reader is gone (standard error into `| head -1`)
// then fails with EPIPE, which the writer handles, instead of ending the
// program with SIGPIPE. The sockets send with MSG_NOSIGNAL all the same.
inline void ignorePipeSignal()
{
    ::signal(SIGPIPE, SIG_IGN);
}
