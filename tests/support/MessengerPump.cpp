#include "tests/support/MessengerPump.h"

#include <chrono>

namespace orvtest {

MessengerPump::MessengerPump(TMCMessenger& messenger) : FMessenger(messenger)
{
    FThread = std::thread([this] {
        while (!FStop) {
            try {
                FMessenger.DispatchPending();
            } catch (...) {
                // A throwing handler is the test's business, not the pump's.
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

MessengerPump::~MessengerPump()
{
    FStop = true;
    FThread.join();
}

void Outcomes::Add(Entry e)
{
    {
        std::lock_guard lock(FMutex);
        FEntries.push_back(std::move(e));
    }
    FChanged.notify_all();
}

TMCReplyProc Outcomes::ReplyProc()
{
    return [this](void*, TMCMessage& m) { Add({Kind::Reply, 0, m.Result, m.Data}); };
}

TMCTimeoutProc Outcomes::TimeoutProc()
{
    return [this](void*, TMCMessage& m) { Add({Kind::Timeout, 0, m.Result, m.Data}); };
}

TMCErrorProc Outcomes::ErrorProc()
{
    return [this](void*, TMCMessage& m, std::int32_t code) { Add({Kind::Error, code, m.Result, m.Data}); };
}

std::size_t Outcomes::Count()
{
    std::lock_guard lock(FMutex);
    return FEntries.size();
}

std::vector<Outcomes::Entry> Outcomes::All()
{
    std::lock_guard lock(FMutex);
    return FEntries;
}

bool Outcomes::WaitFor(std::size_t n, std::chrono::milliseconds deadline)
{
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, deadline, [&] { return FEntries.size() >= n; });
}

} // namespace orvtest
