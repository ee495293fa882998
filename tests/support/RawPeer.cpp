#include "tests/support/RawPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace orvtest {

namespace {

int Remaining(std::chrono::steady_clock::time_point end)
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

RawListener::RawListener(const std::string& address, std::uint16_t port)
{
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFd < 0)
        throw std::runtime_error("socket failed");
    int one = 1;
    setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(FFd, 16) != 0)
        throw std::runtime_error(std::string("bind/listen failed: ") + std::strerror(errno));
    socklen_t len = sizeof sa;
    getsockname(FFd, reinterpret_cast<sockaddr*>(&sa), &len);
    FPort = ntohs(sa.sin_port);
}

RawListener::~RawListener()
{
    Close();
}

void RawListener::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

int RawListener::Accept(std::chrono::milliseconds deadline)
{
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0)
        return -1;
    return ::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC);
}

RawConnection::~RawConnection()
{
    Close();
}

RawConnection& RawConnection::operator=(RawConnection&& other) noexcept
{
    if (this != &other) {
        Close();
        FFd = other.FFd;
        other.FFd = -1;
    }
    return *this;
}

void RawConnection::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

std::string RawConnection::ReadExactly(std::size_t n, std::chrono::milliseconds deadline)
{
    std::string out;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (out.size() < n) {
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, Remaining(end)) <= 0)
            break;
        char buf[4096];
        ssize_t got = ::recv(FFd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

std::string RawConnection::ReadFrame(std::chrono::milliseconds deadline)
{
    std::string head = ReadExactly(8, deadline);
    if (head.size() < 8)
        return {};
    std::uint32_t total;
    std::memcpy(&total, head.data() + 4, 4);
    if (total < 8)
        return {};
    std::string rest = ReadExactly(total - 8, deadline);
    if (rest.size() < total - 8)
        return {};
    return head + rest;
}

bool RawConnection::Write(const std::string& bytes)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        ssize_t n = ::send(FFd, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        pos += static_cast<std::size_t>(n);
    }
    return true;
}

bool RawConnection::WaitClosed(std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, Remaining(end)) <= 0)
            return false;
        char buf[4096];
        ssize_t got = ::recv(FFd, buf, sizeof buf, 0);
        if (got <= 0)
            return true;
    }
}

std::uint16_t FreePort()
{
    RawListener probe;
    return probe.Port();
}

} // namespace orvtest
