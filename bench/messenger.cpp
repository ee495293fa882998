// Messages per second through send, in-process delivery, dispatch and reply on
// one thread, and heap allocations per message, over the loopback transport.
#include "bench/Figure.h"
#include "tests/support/MCLoopbackTransport.h"
#include "transport/MCMessenger.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {
std::atomic<std::uint64_t> gAllocations{0};
} // namespace

// Every heap allocation of the program passes here and is counted.
void* operator new(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

struct Figures
{
    double PerSecond;
    double AllocationsPerMessage;
};

// Two messengers joined by a loopback pair, the receiver's queue answering
// every message, as the gateway link is used: channel number in Param1.
class Bench
{
public:
    Bench()
    {
        FQueue.SetQueueName("SendNote");
        FQueue.SetMessenger(&FReceiver);
        auto& handler = FQueue.Handlers.Add();
        handler.MsgCodeLow = handler.MsgCodeHigh = 1;
        handler.OnMessage = [](TMCQueue&, TMCMessage& m, bool& handled) {
            m.Result = m.Param1;
            handled = true;
        };
        FPair.A.SetMessenger(&FSender);
        FPair.B.SetMessenger(&FReceiver);
        FPair.A.SetActive(true);
        FPair.B.SetActive(true);
    }

    // batch messages are sent before each pair of dispatch calls.
    Figures Run(std::size_t dataSize, bool oneWay, int batch, int rounds)
    {
        const std::string data(dataSize, 'x');
        const std::string destination = "LOOP:192.0.2.10:7000|SendNote";
        std::uint64_t done = 0;
        auto onReply = [](void* user, TMCMessage&) { ++*static_cast<std::uint64_t*>(user); };
        TMCReplyProc reply = oneWay ? TMCReplyProc() : TMCReplyProc(onReply);

        // The caller's record is reused, as the connection's send buffer is:
        // the figures count the transport's allocations, not the caller's.
        TMCMessage m;
        m.MsgCode = 1;
        m.Param1 = 3;
        m.Param2 = 1;
        m.Priority = 10;
        m.Data = data;
        auto once = [&] {
            for (int i = 0; i < batch; ++i)
                FSender.SendWithCallbacks(destination, m, 30000, reply, nullptr, nullptr, &done);
            FReceiver.DispatchPending();
            FSender.DispatchPending();
        };
        for (int i = 0; i < rounds / 10; ++i) // warm the lists up
            once();

        done = 0;
        const std::uint64_t allocationsBefore = gAllocations.load();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < rounds; ++i)
            once();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const std::uint64_t allocations = gAllocations.load() - allocationsBefore;

        const double messages = static_cast<double>(rounds) * batch;
        if (!oneWay && static_cast<double>(done) != messages)
            std::fprintf(stderr, "lost replies: %llu of %.0f\n", static_cast<unsigned long long>(done),
                         messages);
        const double seconds = std::chrono::duration<double>(elapsed).count();
        return {messages / seconds, static_cast<double>(allocations) / messages};
    }

private:
    TMCMessenger FSender, FReceiver;
    TMCLoopbackPair FPair;
    TMCQueue FQueue;
};

} // namespace

int main()
{
    std::printf("messenger over the loopback transport, one thread\n");
    std::printf("a message: send, delivery, dispatch to a handler, reply (requests) and reply callback\n");
    std::printf("%-10s %6s %6s %14s %14s\n", "kind", "data", "batch", "messages/s", "allocs/msg");
    struct Case
    {
        const char* Kind;
        std::size_t Data;
        bool OneWay;
        int Batch;
    };
    const Case cases[] = {
        {"request", 0, false, 1},    {"request", 12, false, 1},   {"request", 100, false, 1},
        {"request", 1024, false, 1}, {"request", 100, false, 20}, {"one-way", 100, true, 1},
        {"one-way", 100, true, 20},
    };
    for (const Case& c : cases) {
        Bench bench;
        const int rounds = 200000 / c.Batch;
        const Figures f = bench.Run(c.Data, c.OneWay, c.Batch, rounds);
        std::printf("%-10s %6zu %6d %14.0f %14.2f\n", c.Kind, c.Data, c.Batch, f.PerSecond,
                    f.AllocationsPerMessage);
        const std::string name =
            std::string(c.Kind) + " " + std::to_string(c.Data) + " B batch " + std::to_string(c.Batch);
        Figure(name + ": messages/s", f.PerSecond, 0);
        Figure(name + ": allocations/message", f.AllocationsPerMessage, 2);
    }
    return 0;
}
