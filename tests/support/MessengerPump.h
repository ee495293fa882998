#pragma once

#include "transport/MCMessenger.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvtest {

// Calls DispatchPending every millisecond on its own thread, like the program's
// connection thread does, until destroyed.
class MessengerPump
{
public:
    explicit MessengerPump(TMCMessenger& messenger);
    ~MessengerPump();
    MessengerPump(const MessengerPump&) = delete;
    MessengerPump& operator=(const MessengerPump&) = delete;

private:
    TMCMessenger& FMessenger;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Collects the outcomes of sent messages, thread-safely.
class Outcomes
{
public:
    enum class Kind { Reply, Timeout, Error };
    struct Entry
    {
        Kind kind;
        std::int32_t errorCode;
        std::int32_t result;
        std::string data;
    };

    TMCReplyProc ReplyProc();
    TMCTimeoutProc TimeoutProc();
    TMCErrorProc ErrorProc();

    std::size_t Count();
    std::vector<Entry> All();
    // Waits until at least n outcomes arrived.
    bool WaitFor(std::size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(20));

private:
    void Add(Entry e);
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<Entry> FEntries;
};

} // namespace orvtest
