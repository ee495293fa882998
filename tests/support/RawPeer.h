#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace orvtest {

// A loopback TCP listener for tests that speak hand-made bytes to the transport.
// Everything blocks with a deadline, so a broken test fails instead of hanging.
class RawListener
{
public:
    explicit RawListener(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    std::uint16_t Port() const { return FPort; }
    // The next connection's descriptor, or -1 when none came in time.
    int Accept(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    void Close();

private:
    int FFd = -1;
    std::uint16_t FPort = 0;
};

// One accepted connection.
class RawConnection
{
public:
    explicit RawConnection(int fd = -1) : FFd(fd) {}
    ~RawConnection();
    RawConnection(RawConnection&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
    RawConnection& operator=(RawConnection&& other) noexcept;

    bool Valid() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    // Exactly n bytes, or fewer when the peer closed or the deadline passed.
    std::string ReadExactly(std::size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // One whole frame (8-byte head, then the rest by its length field); empty on failure.
    std::string ReadFrame(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    bool Write(const std::string& bytes);
    // True when the peer closed the connection within the deadline (reads and drops data meanwhile).
    bool WaitClosed(std::chrono::milliseconds deadline = std::chrono::seconds(20));
    void Close();

private:
    int FFd = -1;
};

// A free loopback TCP port (bound and released; good enough for tests).
std::uint16_t FreePort();

} // namespace orvtest
