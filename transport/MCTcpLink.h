#pragma once

// Plain loopback TCP for the local RFB programs: a connection that reads what
// has arrived and writes everything, and a listener with one accept at a time.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class TMCTcpLink
{
public:
    TMCTcpLink() = default;
    explicit TMCTcpLink(int acceptedFd) : FFd(acceptedFd) {}
    ~TMCTcpLink();
    TMCTcpLink(const TMCTcpLink&) = delete;
    TMCTcpLink& operator=(const TMCTcpLink&) = delete;

    // Connects to a dotted IPv4 address within timeoutMs; false on failure.
    bool Connect(const std::string& host, std::uint16_t port, int timeoutMs);
    bool Connected() const noexcept { return FFd >= 0; }
    int Fd() const noexcept { return FFd; }

    enum class TRead { Data, Nothing, Closed, Failed };
    // Appends every byte that has arrived, waiting up to waitMs for the first.
    // Closed: the peer closed its end (and nothing was left to read).
    TRead ReadAvailable(std::string& out, int waitMs);
    enum class TWrite { Done, Closed, Failed };
    // Writes all bytes, waiting up to timeoutMs for room; Closed: the peer
    // closed in an orderly way (reset or broken pipe).
    TWrite WriteAll(std::string_view bytes, int timeoutMs);
    // Whether the peer has closed its end, without taking any data.
    bool PeerHungUp();
    void Close() noexcept;

private:
    int FFd = -1;
};

class TMCTcpListener
{
public:
    TMCTcpListener() = default;
    ~TMCTcpListener();
    TMCTcpListener(const TMCTcpListener&) = delete;
    TMCTcpListener& operator=(const TMCTcpListener&) = delete;

    // Binds and listens; false when the port cannot be had.
    bool Listen(const std::string& host, std::uint16_t port, bool reuseAddress);
    bool Listening() const noexcept { return FFd >= 0; }
    int Fd() const noexcept { return FFd; }
    // The bound port (the one the system chose for port 0); 0 when not listening.
    std::uint16_t LocalPort() const noexcept;
    // A waiting connection's descriptor, or nullopt.
    std::optional<int> Accept();
    void Close() noexcept;

private:
    int FFd = -1;
};
