#pragma once

#include <unistd.h>

#include <utility>

// One open POSIX file descriptor with a single owner: closed when the owner
// goes or takes another, handed on by a move.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }

    /// Closes the descriptor held, if any, and holds fd instead.
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    /// Gives the descriptor up without closing it.
    int release() { return std::exchange(m_fd, -1); }
    operator int() const { return m_fd; }

private:
    int m_fd = -1;
};
