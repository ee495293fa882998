#include "tests/support/FaultProxy.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace orvtest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadSize = 64 * 1024;
// Above this many held bytes a flow of a link is not read until it drains.
constexpr std::size_t kHoldLimit = 16 * 1024 * 1024;

class TFd
{
public:
    explicit TFd(int fd = -1) noexcept : FFd(fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    TFd& operator=(TFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            FFd = std::exchange(other.FFd, -1);
        }
        return *this;
    }
    int Get() const noexcept { return FFd; }
    void Reset() noexcept
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

private:
    int FFd;
};

[[noreturn]] void Fail(const char* what)
{
    throw std::runtime_error(std::string("FaultProxy: ") + what + ": " + std::strerror(errno));
}

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// The close that follows sends a reset, not an orderly end.
void ResetOnClose(int fd)
{
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

bool Retry(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Bytes read from one side and not yet written to the other; End marks the
// source's orderly close, passed on in its place.
struct TPiece
{
    std::string Bytes;
    std::size_t Offset = 0;
    Clock::time_point Due;
    bool End = false;
};

struct TDirection
{
    std::deque<TPiece> Queue;
    std::size_t Held = 0;
    bool SourceEnded = false;
    bool Shut = false; // the end passed on to the destination
};

struct TLink
{
    TFd Client;
    TFd Server;
    bool Connecting = true;
    bool Dead = false;
    TDirection Up; // client to server
    TDirection Down;
};

struct TCutPlan
{
    std::size_t Left = 0;
    TFlow Flow = TFlow::Both;
    bool Reset = false;
};

bool Covers(TFlow plan, TFlow one)
{
    return (static_cast<unsigned>(plan) & static_cast<unsigned>(one)) != 0;
}

} // namespace

class FaultProxy::TLoop
{
public:
    explicit TLoop(std::uint16_t target) : FTarget(target)
    {
        FListener = TFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (FListener.Get() < 0)
            Fail("socket");
        sockaddr_in address = Loopback(0);
        if (::bind(FListener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("bind");
        if (::listen(FListener.Get(), 64) != 0)
            Fail("listen");
        socklen_t length = sizeof address;
        ::getsockname(FListener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
        FPort = ntohs(address.sin_port);
        FWake = TFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (FWake.Get() < 0)
            Fail("eventfd");
        FThread = std::jthread([this](const std::stop_token& stop) { Run(stop); });
    }

    ~TLoop()
    {
        FThread.request_stop();
        Wake();
        FThread.join();
    }

    void Wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(FWake.Get(), &one, sizeof one);
    }

    std::uint16_t FPort = 0;

    std::mutex FLock; // the settings below, set by the test's thread
    std::uint16_t FTarget;
    std::chrono::milliseconds FDelay{0};
    std::size_t FSliceMin = 0, FSliceMax = 0;
    Clock::time_point FStallUp{}, FStallDown{};
    std::optional<TCutPlan> FCutRequest;

    std::atomic<std::size_t> FAccepted{0}, FOpen{0}, FCuts{0}, FHeld{0};
    std::atomic<std::uint64_t> FPassedUp{0}, FPassedDown{0};

private:
    struct TSettings
    {
        std::uint16_t Target = 0;
        std::chrono::milliseconds Delay{0};
        std::size_t SliceMin = 0, SliceMax = 0;
        Clock::time_point StallUp, StallDown;
    };

    TSettings Take()
    {
        std::lock_guard lock(FLock);
        if (FCutRequest) {
            FPlan = FCutRequest;
            FCutRequest.reset();
            if (FPlan->Left == 0)
                FCutNow = true;
        }
        return {FTarget, FDelay, FSliceMin, FSliceMax, FStallUp, FStallDown};
    }

    void Run(const std::stop_token& stop)
    {
        while (!stop.stop_requested()) {
            const TSettings settings = Take();
            if (FCutNow)
                CutAll();
            const Clock::time_point now = Clock::now();

            std::vector<pollfd> fds{{FWake.Get(), POLLIN, 0}, {FListener.Get(), POLLIN, 0}};
            std::optional<Clock::time_point> next;
            for (TLink& link : FLinks) {
                const short client = Events(link.Up, link.Down, settings.StallDown, now, next, false);
                const short server = Events(link.Down, link.Up, settings.StallUp, now, next, link.Connecting);
                fds.push_back({client ? link.Client.Get() : -1, client, 0});
                fds.push_back({server ? link.Server.Get() : -1, server, 0});
            }
            int timeout = -1;
            if (next)
                timeout = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(std::max(*next - now, Clock::duration(0)))
                        .count());
            const int ready = ::poll(fds.data(), fds.size(), timeout);
            if (ready < 0 && errno != EINTR)
                break; // not to be had on a working system; the links close with the object
            if (ready <= 0)
                continue; // held bytes fell due: the next round waits for their sockets
            if (fds[0].revents & POLLIN) {
                std::uint64_t count;
                [[maybe_unused]] const ssize_t n = ::read(FWake.Get(), &count, sizeof count);
            }

            const Clock::time_point after = Clock::now();
            for (std::size_t i = 0; i < FLinks.size() && !FCutNow; ++i) {
                TLink& link = FLinks[i];
                const pollfd& client = fds[2 + 2 * i];
                const pollfd& server = fds[3 + 2 * i];
                if (link.Connecting && server.revents)
                    FinishConnect(link);
                if (!link.Dead && client.revents)
                    Serve(link, link.Client, link.Up, link.Down, client.revents, settings, after, TFlow::Down,
                          settings.StallDown);
                if (!link.Dead && !link.Connecting && server.revents)
                    Serve(link, link.Server, link.Down, link.Up, server.revents, settings, after, TFlow::Up,
                          settings.StallUp);
                if (!link.Dead && link.Up.Shut && link.Down.Shut)
                    link.Dead = true;
            }
            if (FCutNow)
                CutAll();
            std::erase_if(FLinks, [](const TLink& link) { return link.Dead; });
            if (fds[1].revents & POLLIN)
                Accept(settings.Target);
            Count();
        }
    }

    // What to wait for on the socket that is the source of from and the
    // destination of to; notes when held bytes fall due.
    static short Events(const TDirection& from, const TDirection& to, Clock::time_point stall,
                        Clock::time_point now, std::optional<Clock::time_point>& next, bool connecting)
    {
        if (connecting)
            return POLLOUT;
        short events = 0;
        if (!from.SourceEnded && from.Held < kHoldLimit)
            events |= POLLIN;
        if (!to.Queue.empty() && !to.Shut) {
            const Clock::time_point due = std::max(to.Queue.front().Due, stall);
            if (due <= now)
                events |= POLLOUT;
            else if (!next || due < *next)
                next = due;
        }
        return events;
    }

    void Accept(std::uint16_t target)
    {
        for (;;) {
            TFd client(::accept4(FListener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (client.Get() < 0)
                return;
            ++FAccepted;
            TLink link;
            link.Client = std::move(client);
            link.Server = TFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            const int one = 1;
            ::setsockopt(link.Client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::setsockopt(link.Server.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            const sockaddr_in address = Loopback(target);
            if (::connect(link.Server.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                0)
                link.Connecting = false;
            else if (errno != EINPROGRESS)
                Abort(link); // nobody listens there: the client is refused as it would be
            if (!link.Dead)
                FLinks.push_back(std::move(link));
        }
    }

    void FinishConnect(TLink& link)
    {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(link.Server.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            Abort(link);
        else
            link.Connecting = false;
    }

    // One socket's events: reads into from, writes what to holds for it.
    void Serve(TLink& link, TFd& socket, TDirection& from, TDirection& to, short revents,
               const TSettings& settings, Clock::time_point now, TFlow outFlow, Clock::time_point stall)
    {
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!from.SourceEnded && from.Held < kHoldLimit && !Read(link, socket, from, settings, now))
                return;
        }
        if (revents & (POLLOUT | POLLERR)) {
            Write(link, socket, to, settings, now, outFlow, stall);
        }
    }

    bool Read(TLink& link, TFd& socket, TDirection& from, const TSettings& settings, Clock::time_point now)
    {
        std::string bytes(kReadSize, '\0');
        const ssize_t n = ::recv(socket.Get(), bytes.data(), bytes.size(), 0);
        if (n < 0) {
            if (Retry(errno))
                return true;
            Abort(link); // a reset from one side resets the other
            return false;
        }
        TPiece piece;
        piece.Due = now + settings.Delay;
        if (n == 0) {
            from.SourceEnded = true;
            piece.End = true;
        } else {
            bytes.resize(static_cast<std::size_t>(n));
            from.Held += bytes.size();
            piece.Bytes = std::move(bytes);
        }
        from.Queue.push_back(std::move(piece));
        return true;
    }

    bool Write(TLink& link, TFd& socket, TDirection& to, const TSettings& settings, Clock::time_point now,
               TFlow flow, Clock::time_point stall)
    {
        if (to.Queue.empty() || to.Shut || now < stall || now < to.Queue.front().Due)
            return true;
        TPiece& head = to.Queue.front();
        if (head.End) {
            ::shutdown(socket.Get(), SHUT_WR);
            to.Shut = true;
            to.Queue.pop_front();
            return true;
        }
        std::size_t size = head.Bytes.size() - head.Offset;
        if (settings.SliceMax > 0) {
            std::uniform_int_distribution<std::size_t> slice(std::max<std::size_t>(settings.SliceMin, 1),
                                                             std::max(settings.SliceMin, settings.SliceMax));
            size = std::min(size, slice(FRandom));
        }
        const bool planned = FPlan && Covers(FPlan->Flow, flow);
        if (planned)
            size = std::min(size, FPlan->Left);
        if (size == 0)
            return true;
        const ssize_t n = ::send(socket.Get(), head.Bytes.data() + head.Offset, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (Retry(errno))
                return true;
            Abort(link);
            return false;
        }
        const auto sent = static_cast<std::size_t>(n);
        head.Offset += sent;
        to.Held -= sent;
        (flow == TFlow::Up ? FPassedUp : FPassedDown) += sent;
        if (head.Offset == head.Bytes.size())
            to.Queue.pop_front();
        if (planned && (FPlan->Left -= sent) == 0)
            FCutNow = true;
        return true;
    }

    static void Abort(TLink& link)
    {
        for (TFd* fd : {&link.Client, &link.Server}) {
            if (fd->Get() >= 0)
                ResetOnClose(fd->Get());
            fd->Reset();
        }
        link.Dead = true;
    }

    void CutAll()
    {
        const bool reset = FPlan && FPlan->Reset;
        for (TLink& link : FLinks) {
            if (reset) {
                Abort(link);
            } else {
                link.Client.Reset();
                link.Server.Reset();
                link.Dead = true;
            }
        }
        FLinks.clear();
        FPlan.reset();
        FCutNow = false;
        ++FCuts;
    }

    void Count()
    {
        std::size_t held = 0;
        for (const TLink& link : FLinks)
            held += link.Up.Held + link.Down.Held;
        FHeld = held;
        FOpen = FLinks.size();
    }

    TFd FListener;
    TFd FWake;
    std::vector<TLink> FLinks; // the loop's own, like everything below
    std::optional<TCutPlan> FPlan;
    bool FCutNow = false;
    std::mt19937 FRandom{20240611};
    std::jthread FThread; // the last member: it starts once everything else is there
};

FaultProxy::FaultProxy(std::uint16_t targetPort) : FLoop(std::make_unique<TLoop>(targetPort)) {}

FaultProxy::~FaultProxy() = default;

std::uint16_t FaultProxy::Port() const noexcept
{
    return FLoop->FPort;
}

void FaultProxy::SetTarget(std::uint16_t port)
{
    std::lock_guard lock(FLoop->FLock);
    FLoop->FTarget = port;
}

void FaultProxy::Cut(std::size_t afterBytes, TFlow flow, bool reset)
{
    {
        std::lock_guard lock(FLoop->FLock);
        FLoop->FCutRequest = TCutPlan{afterBytes, flow, reset};
    }
    FLoop->Wake();
}

void FaultProxy::Stall(std::chrono::milliseconds time, TFlow flow)
{
    {
        std::lock_guard lock(FLoop->FLock);
        const Clock::time_point until = Clock::now() + time;
        if (Covers(flow, TFlow::Up))
            FLoop->FStallUp = until;
        if (Covers(flow, TFlow::Down))
            FLoop->FStallDown = until;
    }
    FLoop->Wake();
}

void FaultProxy::SetDelay(std::chrono::milliseconds delay)
{
    {
        std::lock_guard lock(FLoop->FLock);
        FLoop->FDelay = delay;
    }
    FLoop->Wake();
}

void FaultProxy::SetSlices(std::size_t min, std::size_t max)
{
    {
        std::lock_guard lock(FLoop->FLock);
        FLoop->FSliceMin = min;
        FLoop->FSliceMax = max;
    }
    FLoop->Wake();
}

std::size_t FaultProxy::LinksAccepted() const
{
    return FLoop->FAccepted;
}

std::size_t FaultProxy::LinksOpen() const
{
    return FLoop->FOpen;
}

std::size_t FaultProxy::Cuts() const
{
    return FLoop->FCuts;
}

std::uint64_t FaultProxy::BytesPassed(TFlow flow) const
{
    std::uint64_t total = 0;
    if (Covers(flow, TFlow::Up))
        total += FLoop->FPassedUp;
    if (Covers(flow, TFlow::Down))
        total += FLoop->FPassedDown;
    return total;
}

std::size_t FaultProxy::BytesHeld() const
{
    return FLoop->FHeld;
}

} // namespace orvtest
