#include "transport/MCTcpLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool ToAddress(const std::string& host, std::uint16_t port, sockaddr_in& address)
{
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

// A socket for the dotted address and port, which it fills in; -1 when either fails.
int NewSocket(const std::string& host, std::uint16_t port, sockaddr_in& address)
{
    if (!ToAddress(host, port, address))
        return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        // The reader takes what has piled up only every so often: room for a
        // few megabytes keeps the writer going meanwhile.
        const int size = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    return fd;
}

void CloseFd(int& fd) noexcept
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

short PollOne(int fd, short events, int waitMs)
{
    pollfd p{fd, events, 0};
    int n;
    do
        n = ::poll(&p, 1, waitMs);
    while (n < 0 && errno == EINTR);
    return n > 0 ? p.revents : 0;
}

} // namespace

// ================================================================ TMCTcpLink

TMCTcpLink::~TMCTcpLink()
{
    Close();
}

bool TMCTcpLink::Connect(const std::string& host, std::uint16_t port, int timeoutMs)
{
    Close();
    sockaddr_in address;
    FFd = NewSocket(host, port, address);
    if (FFd < 0)
        return false;
    const int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    if (errno == EINPROGRESS && (PollOne(FFd, POLLOUT, timeoutMs) & (POLLOUT | POLLERR | POLLHUP))) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
            return true;
    }
    Close();
    return false;
}

TMCTcpLink::TRead TMCTcpLink::ReadAvailable(std::string& out, int waitMs)
{
    if (FFd < 0)
        return TRead::Failed;
    if (!(PollOne(FFd, POLLIN, waitMs) & (POLLIN | POLLHUP | POLLERR)))
        return TRead::Nothing;
    char buffer[16384];
    bool any = false;
    for (;;) {
        const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            any = true;
            continue;
        }
        if (n == 0)
            return any ? TRead::Data : TRead::Closed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return any ? TRead::Data : TRead::Nothing;
        if (any)
            return TRead::Data;
        return errno == ECONNRESET ? TRead::Closed : TRead::Failed;
    }
}

TMCTcpLink::TWrite TMCTcpLink::WriteAll(std::string_view bytes, int timeoutMs)
{
    if (FFd < 0)
        return TWrite::Failed;
    while (!bytes.empty()) {
        const ssize_t n = ::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EPIPE || errno == ECONNRESET)
            return TWrite::Closed;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return TWrite::Failed;
        if (!(PollOne(FFd, POLLOUT, timeoutMs) & (POLLOUT | POLLERR | POLLHUP)))
            return TWrite::Failed; // no room in time: the reader has stopped
    }
    return TWrite::Done;
}

bool TMCTcpLink::PeerHungUp()
{
    return FFd < 0 || (PollOne(FFd, POLLRDHUP, 0) & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void TMCTcpLink::Close() noexcept
{
    CloseFd(FFd);
}

// ================================================================ TMCTcpListener

TMCTcpListener::~TMCTcpListener()
{
    Close();
}

bool TMCTcpListener::Listen(const std::string& host, std::uint16_t port, bool reuseAddress)
{
    Close();
    sockaddr_in address;
    FFd = NewSocket(host, port, address);
    if (FFd < 0)
        return false;
    const int one = 1;
    if (reuseAddress)
        ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(FFd, 4) != 0) {
        Close();
        return false;
    }
    return true;
}

std::uint16_t TMCTcpListener::LocalPort() const noexcept
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (FFd < 0 || ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::optional<int> TMCTcpListener::Accept()
{
    if (FFd < 0)
        return std::nullopt;
    const int fd = ::accept4(FFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void TMCTcpListener::Close() noexcept
{
    CloseFd(FFd);
}
