#include "lib/orvThreads.h"

#include "lib/debugProc.h"

#include <chrono>
#include <deque>
#include <memory>

namespace orvSync {
namespace {

struct Call
{
    const std::function<void()>* fn;
    bool done = false;
};

struct State
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Call*> calls;
    std::thread::id mainThread;
    std::function<void()> wake;
    bool stopped = false;
};

State& TheState()
{
    static State state; // process-wide by nature: there is one main thread
    return state;
}

} // namespace

void SetMainThread()
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.mainThread = std::this_thread::get_id();
    s.stopped = false;
}

bool IsMainThread()
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.mainThread == std::this_thread::get_id();
}

void SetWakeMainThread(std::function<void()> wake)
{
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.wake = std::move(wake);
}

bool Synchronize(const std::function<void()>& fn)
{
    if (IsMainThread()) {
        fn();
        return true;
    }
    State& s = TheState();
    Call call{&fn};
    std::function<void()> wake;
    {
        std::lock_guard lock(s.mutex);
        if (s.stopped)
            return false;
        s.calls.push_back(&call);
        wake = s.wake;
    }
    s.changed.notify_all();
    if (wake)
        wake();
    std::unique_lock lock(s.mutex);
    s.changed.wait(lock, [&] { return call.done || s.stopped; });
    if (!call.done) {
        std::erase(s.calls, &call);
        return false;
    }
    return true;
}

bool CheckSynchronize(int timeoutMs)
{
    State& s = TheState();
    std::unique_lock lock(s.mutex);
    if (s.calls.empty() && timeoutMs > 0)
        s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !s.calls.empty(); });
    bool ran = false;
    while (!s.calls.empty()) {
        Call* call = s.calls.front();
        s.calls.pop_front();
        lock.unlock();
        try {
            (*call->fn)();
        } catch (const std::exception& e) {
            DebugLogFmt("Error in synchronised call: %s", e.what());
        } catch (...) {
            DebugLog("Unknown error in synchronised call");
        }
        lock.lock();
        call->done = true;
        ran = true;
        s.changed.notify_all();
    }
    return ran;
}

void StopServing()
{
    State& s = TheState();
    {
        std::lock_guard lock(s.mutex);
        s.stopped = true;
    }
    s.changed.notify_all();
}

} // namespace orvSync

TorvThread::~TorvThread()
{
    // Owners stop their threads before destroying them; this only keeps a
    // forgotten one from outliving its object's storage.
    if (FThread.joinable()) {
        Terminate();
        FThread.join();
    }
}

void TorvThread::Start()
{
    if (FThread.joinable())
        return;
    FThread = std::thread([this] {
        try {
            Execute();
        } catch (const std::exception& e) {
            DebugLogFmt("Unknown error in TorvThread.Execute (\"%s\")", e.what());
        } catch (...) {
            DebugLog("Unknown error in TorvThread.Execute");
        }
        FFinished = true;
    });
}

void TorvThread::Terminate()
{
    FTerminated = true;
    Wake();
}

void TorvThread::Wake()
{
    {
        std::lock_guard lock(FWakeMutex);
        FWoken = true;
    }
    FWakeCond.notify_all();
}

bool TorvThread::Sleep(int ms)
{
    std::unique_lock lock(FWakeMutex);
    FWakeCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FWoken || FTerminated.load(); });
    FWoken = false;
    return !FTerminated;
}

bool TorvThread::WaitForStop(int ms)
{
    if (ms <= 0) // no wait, and no timed wait in the kernel either
        return !FTerminated;
    std::unique_lock lock(FWakeMutex);
    FWakeCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FTerminated.load(); });
    return !FTerminated;
}

void TorvThread::WaitFor()
{
    if (!FThread.joinable())
        return;
    if (orvSync::IsMainThread()) {
        while (!FFinished)
            orvSync::CheckSynchronize(5);
    }
    FThread.join();
}
