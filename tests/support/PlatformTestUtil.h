#pragma once

// Helpers of the tests of the platform layer and what stands on it.

#include "platform/orvWindowMessages.h"
#include "tests/support/TestUtil.h"

#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace orvtest {

// Sets (or with nullptr removes) an environment variable for one test.
class TScopedEnv
{
public:
    TScopedEnv(const char* name, const char* value) : FName(name)
    {
        if (const char* old = std::getenv(name))
            FOld = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    TScopedEnv(const char* name, const std::string& value) : TScopedEnv(name, value.c_str()) {}
    ~TScopedEnv() { FOld ? ::setenv(FName.c_str(), FOld->c_str(), 1) : ::unsetenv(FName.c_str()); }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    std::string FName;
    std::optional<std::string> FOld;
};

// Serves a window on a thread the way its owner's poll loop would.
class TWindowPump
{
public:
    explicit TWindowPump(TorvMessageWindow& window) : FThread([this, &window] { Run(window); }) {}
    ~TWindowPump()
    {
        FStop = true;
        FThread.join();
    }
    std::vector<TorvMessageWindow::Posted> Received()
    {
        std::lock_guard lock(FMutex);
        return FReceived;
    }

private:
    void Run(TorvMessageWindow& window)
    {
        while (!FStop) {
            pollfd wait{window.Fd(), POLLIN, 0};
            ::poll(&wait, 1, 10);
            while (const auto posted = window.Receive()) {
                std::lock_guard lock(FMutex);
                FReceived.push_back(*posted);
            }
        }
    }

    std::atomic<bool> FStop{false};
    std::mutex FMutex;
    std::vector<TorvMessageWindow::Posted> FReceived;
    std::thread FThread;
};

// The posts a window received, once there are count of them, as comparable tuples.
using TPost = std::tuple<std::string, std::uint32_t, std::uint64_t, std::int64_t>;

inline std::vector<TPost> Posts(TWindowPump& pump, std::size_t count)
{
    WaitUntil([&] { return pump.Received().size() >= count; });
    std::vector<TPost> posts;
    for (const auto& [child, message] : pump.Received())
        posts.emplace_back(child, message.Msg, message.WParam, message.LParam);
    return posts;
}

} // namespace orvtest
