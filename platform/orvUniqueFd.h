#pragma once

// A file descriptor closed with the object.

#include <unistd.h>

#include <utility>

class TorvUniqueFd
{
public:
    TorvUniqueFd() = default;
    explicit TorvUniqueFd(int fd) noexcept : FFd(fd) {}
    ~TorvUniqueFd() { Reset(); }
    TorvUniqueFd(TorvUniqueFd&& other) noexcept : FFd(other.Release()) {}
    TorvUniqueFd& operator=(TorvUniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    TorvUniqueFd(const TorvUniqueFd&) = delete;
    TorvUniqueFd& operator=(const TorvUniqueFd&) = delete;

    int Get() const noexcept { return FFd; }
    bool Valid() const noexcept { return FFd >= 0; }
    int Release() noexcept { return std::exchange(FFd, -1); }
    void Reset(int fd = -1) noexcept
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = fd;
    }

private:
    int FFd = -1;
};
