#include "transport/MCSocket.h"

#include "transport/MCError.h"
#include "transport/MCTime.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// ---------------------------------------------------------------- TMCWakeup

TMCWakeup::TMCWakeup()
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw EMCError(MCErr::InvalidSocket);
    FRead = fds[0];
    FWrite = fds[1];
}

TMCWakeup::~TMCWakeup()
{
    ::close(FRead);
    ::close(FWrite);
}

void TMCWakeup::Post(std::uint8_t byte) noexcept
{
    // A full pipe already holds wake-ups; a lost nonzero byte changes nothing.
    // A break must get through, so make room for it.
    while (::write(FWrite, &byte, 1) < 0) {
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && byte == 0) {
            std::uint8_t drain[64];
            if (::read(FRead, drain, sizeof drain) > 0)
                continue;
        }
        return;
    }
}

bool TMCWakeup::TakeAll() noexcept
{
    bool sawBreak = false;
    std::uint8_t bytes[64];
    for (;;) {
        const ssize_t n = ::read(FRead, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return sawBreak;
        sawBreak = sawBreak || std::find(bytes, bytes + n, 0) != bytes + n;
        if (static_cast<std::size_t>(n) < sizeof bytes)
            return sawBreak;
    }
}

std::optional<std::uint8_t> TMCWakeup::Take() noexcept
{
    std::uint8_t byte;
    for (;;) {
        ssize_t n = ::read(FRead, &byte, 1);
        if (n == 1)
            return byte;
        if (n < 0 && errno == EINTR)
            continue;
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- helpers

std::optional<std::string> MCResolveIPv4(const std::string& host)
{
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) == 1)
        return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
        return std::nullopt;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(result, freeaddrinfo);
    char text[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(result->ai_addr);
    if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text))
        return std::nullopt;
    return std::string(text);
}

namespace {

sockaddr_in MakeAddress(const std::string& dotted, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, dotted.c_str(), &sa.sin_addr) != 1)
        throw EMCError(MCErr::InvalidAddress);
    return sa;
}

void ReadLocalName(int fd, std::string& host, std::uint16_t& port)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text))
        host = text;
    port = ntohs(sa.sin_port);
}

void SetNoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

// ---------------------------------------------------------------- TMCSocket

TMCSocket::~TMCSocket()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TMCSocket::CheckChangeable() const
{
    if (FState != TMCSocketState::Closed && FState != TMCSocketState::Created)
        throw EMCError(MCErr::BadSocketState);
}

void TMCSocket::SetLocalAddress(std::string value)
{
    CheckChangeable();
    FLocalAddress = std::move(value);
}
void TMCSocket::SetLocalPort(std::uint16_t value)
{
    CheckChangeable();
    FLocalPort = value;
}
void TMCSocket::SetRemoteAddress(std::string value)
{
    CheckChangeable();
    FRemoteAddress = std::move(value);
    FRemoteResolved = false;
}
void TMCSocket::SetRemotePort(std::uint16_t value)
{
    CheckChangeable();
    FRemotePort = value;
}

void TMCSocket::CreateOSSocket()
{
    if (FFd >= 0)
        return;
    FState = TMCSocketState::Creating;
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (FFd < 0) {
        FState = TMCSocketState::Closed;
        throw EMCError(MCErr::InvalidSocket);
    }
    SetNoDelay(FFd);
    FState = TMCSocketState::Created;
}

void TMCSocket::Bind(bool reuseAddress)
{
    CreateOSSocket();
    if (reuseAddress) {
        int one = 1;
        setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    const std::string local = FLocalAddress == "255.255.255.255" ? "0.0.0.0" : FLocalAddress;
    sockaddr_in sa = MakeAddress(local, FLocalPort);
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        throw EMCError(MCErr::InvalidAddress);
    ReadLocalName(FFd, FLocalAddress, FLocalPort);
    FState = TMCSocketState::Bound;
}

void TMCSocket::Listen(int backlog)
{
    if (::listen(FFd, backlog > 5 ? 5 : backlog) != 0)
        throw EMCError(MCErr::BadSocketState);
    FState = TMCSocketState::Listening;
}

std::optional<TMCSocket::Accepted> TMCSocket::Accept()
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd = ::accept4(FFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return Accepted{fd, text, ntohs(sa.sin_port)};
}

void TMCSocket::Attach(int fd, std::string remoteHost, std::uint16_t remotePort)
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = fd;
    SetNoDelay(FFd);
    FRemoteAddress = std::move(remoteHost);
    FRemotePort = remotePort;
    FRemoteResolved = true;
    SetConnected();
}

void TMCSocket::SetConnected()
{
    FState = TMCSocketState::Connected;
    ReadLocalName(FFd, FLocalAddress, FLocalPort);
}

bool TMCSocket::ConnectWithTimeout(TMCWakeup* wakeup, std::uint32_t timeoutMs)
{
    CreateOSSocket();
    auto resolved = MCResolveIPv4(FRemoteAddress);
    if (!resolved)
        throw EMCError(MCErr::InvalidAddress);
    FRemoteResolved = true;
    sockaddr_in sa = MakeAddress(*resolved, FRemotePort);

    if (::connect(FFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 || errno == EISCONN) {
        SetConnected();
        return true;
    }
    if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) {
        Close();
        return false;
    }
    FState = TMCSocketState::Connecting;

    const std::uint32_t start = MCGetTickCount();
    for (;;) {
        const std::uint32_t elapsed = MCTicksSince(start, MCGetTickCount());
        if (elapsed >= timeoutMs)
            break;
        pollfd fds[2] = {{FFd, POLLOUT, 0}, {wakeup ? wakeup->Fd() : -1, POLLIN, 0}};
        int rc = ::poll(fds, wakeup ? 2 : 1, static_cast<int>(timeoutMs - elapsed));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            break;
        if (wakeup && (fds[1].revents & POLLIN)) {
            auto byte = wakeup->Take();
            if (byte && *byte == 0)
                break;
        }
        if (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(FFd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0)
                break;
            SetConnected();
            return true;
        }
    }
    Close();
    return false;
}

void TMCSocket::SecureHandshake(TMCWakeup*, std::uint32_t) {}

TMCIoResult TMCSocket::RawRead(char* buffer, std::size_t count)
{
    for (;;) {
        ssize_t n = ::recv(FFd, buffer, count, 0);
        if (n > 0)
            return {TMCIoResult::Ok, static_cast<std::size_t>(n)};
        if (n == 0)
            return {TMCIoResult::Closed, 0};
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {TMCIoResult::WouldBlock, 0};
        return {TMCIoResult::Failed, 0};
    }
}

TMCIoResult TMCSocket::RawWrite(const char* buffer, std::size_t count)
{
    for (;;) {
        ssize_t n = ::send(FFd, buffer, count, MSG_NOSIGNAL);
        if (n >= 0)
            return {TMCIoResult::Ok, static_cast<std::size_t>(n)};
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {TMCIoResult::WouldBlock, 0};
        return {TMCIoResult::Failed, 0};
    }
}

TMCIoResult TMCSocket::Read(char* buffer, std::size_t count)
{
    if (FFd < 0)
        return {TMCIoResult::Failed, 0};
    return RawRead(buffer, count);
}

TMCIoResult TMCSocket::Write(const char* buffer, std::size_t count)
{
    if (FFd < 0)
        return {TMCIoResult::Failed, 0};
    return RawWrite(buffer, count);
}

void TMCSocket::Close(bool shutdownFirst)
{
    if (FFd >= 0) {
        if (shutdownFirst)
            ::shutdown(FFd, SHUT_RDWR);
        ::close(FFd);
        FFd = -1;
    }
    FState = TMCSocketState::Closed;
}

// ---------------------------------------------------------------- factories

std::unique_ptr<TMCSocket> TMCStdSocketFactory::CreateClientSocket()
{
    return Created(std::make_unique<TMCSocket>(TMCSocketSide::Client));
}

std::unique_ptr<TMCSocket> TMCStdSocketFactory::CreateServerSocket()
{
    return Created(std::make_unique<TMCSocket>(TMCSocketSide::Server));
}
