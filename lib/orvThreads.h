#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

// A programming error, named after the unit that found it ("lib/orvConnections").
class EorvAssertion : public std::logic_error
{
public:
    EorvAssertion(const char* unit, const std::string& text) : std::logic_error(text + " (" + unit + ")") {}
};

inline void orvAssert(bool condition, const char* unit, const char* text)
{
    if (!condition)
        throw EorvAssertion(unit, text);
}

// Calls that worker threads make on the main (GUI) thread and wait for.
// The main thread runs them in CheckSynchronize; the program's event loop
// calls that whenever the wake-up hook fires, and a main thread that waits
// for a worker to end keeps calling it, so a worker in Synchronize can finish.
namespace orvSync {

// Marks the calling thread as the main thread (done once at start-up).
void SetMainThread();
bool IsMainThread();
// Called (from any thread) when a call waits; the GUI posts itself a CheckSynchronize.
void SetWakeMainThread(std::function<void()> wake);
// Runs fn on the main thread and waits until it ran. On the main thread it runs at once.
// Returns false without running it when the main thread stopped serving calls.
bool Synchronize(const std::function<void()>& fn);
// Runs the waiting calls; waits up to timeoutMs for one when none waits. True when any ran.
bool CheckSynchronize(int timeoutMs = 0);
// After this, Synchronize returns false instead of waiting (program end).
void StopServing();

} // namespace orvSync

// A thread created suspended, started, told to stop, woken when it waits and waited for.
class TorvThread
{
public:
    TorvThread() = default;
    virtual ~TorvThread();
    TorvThread(const TorvThread&) = delete;
    TorvThread& operator=(const TorvThread&) = delete;

    void Start();
    // Tells the thread to stop and wakes it.
    void Terminate();
    bool Terminated() const noexcept { return FTerminated.load(); }
    // Wakes the thread from Sleep.
    void Wake();
    // Waits until Execute has returned; on the main thread it keeps serving synchronised calls.
    void WaitFor();
    bool Started() const noexcept { return FThread.joinable(); }
    bool Finished() const noexcept { return FFinished.load(); }
    // True on the thread's own thread.
    bool IsCurrentThread() const noexcept { return FThread.get_id() == std::this_thread::get_id(); }

protected:
    virtual void Execute() = 0;
    // Sleeps up to ms or until woken or told to stop; false once told to stop.
    bool Sleep(int ms);
    // Sleeps up to ms or until told to stop, whatever wakes it meanwhile (the
    // wake stays for the next Sleep); false once told to stop.
    bool WaitForStop(int ms);

private:
    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::mutex FWakeMutex;
    std::condition_variable FWakeCond;
    bool FWoken = false;
};
