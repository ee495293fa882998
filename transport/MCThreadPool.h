#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A unit of work that holds one worker for its whole run.
class TMCThreadJob
{
public:
    virtual ~TMCThreadJob() = default;
    virtual void Run() = 0;
    // Told to stop: must make Run return soon. Called from another thread; must not block.
    virtual void Terminate() noexcept = 0;
};

// Workers are made on demand when a job is queued and none is idle; an idle
// worker leaves after 5 s when more than PoolSize workers exist.
class TMCThreadPool
{
public:
    explicit TMCThreadPool(std::size_t poolSize = 0) : FPoolSize(poolSize) {}
    ~TMCThreadPool();
    TMCThreadPool(const TMCThreadPool&) = delete;
    TMCThreadPool& operator=(const TMCThreadPool&) = delete;

    void SetPoolSize(std::size_t value);
    void Queue(std::unique_ptr<TMCThreadJob> job);
    // Terminates the running jobs, drops those not started and waits for every worker.
    void Stop();
    // Jobs a worker has taken since the last reset.
    std::size_t StartedJobs();
    void ResetStartedJobs();

private:
    struct Worker
    {
        std::thread thread;
        bool done = false;
    };
    void WorkerLoop(Worker* self);
    void ReapLocked(std::vector<std::thread>& finished);

    std::mutex FMutex;
    std::condition_variable FWork;
    std::deque<std::unique_ptr<TMCThreadJob>> FQueued;
    std::vector<TMCThreadJob*> FRunning;
    std::list<Worker> FWorkers;
    std::size_t FIdle = 0;
    std::size_t FPoolSize;
    std::size_t FStarted = 0;
    bool FStopping = false;
};
