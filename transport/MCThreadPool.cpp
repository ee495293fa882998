#include "transport/MCThreadPool.h"

#include <algorithm>
#include <chrono>

TMCThreadPool::~TMCThreadPool()
{
    Stop();
}

void TMCThreadPool::SetPoolSize(std::size_t value)
{
    std::lock_guard lock(FMutex);
    FPoolSize = value;
}

void TMCThreadPool::ReapLocked(std::vector<std::thread>& finished)
{
    for (auto it = FWorkers.begin(); it != FWorkers.end();) {
        if (it->done) {
            finished.push_back(std::move(it->thread));
            it = FWorkers.erase(it);
        } else {
            ++it;
        }
    }
}

void TMCThreadPool::Queue(std::unique_ptr<TMCThreadJob> job)
{
    std::vector<std::thread> finished;
    {
        std::lock_guard lock(FMutex);
        ReapLocked(finished);
        FQueued.push_back(std::move(job));
        if (FIdle < FQueued.size()) {
            FWorkers.emplace_back();
            Worker* w = &FWorkers.back();
            w->thread = std::thread([this, w] { WorkerLoop(w); });
        } else {
            FWork.notify_one();
        }
    }
    for (auto& t : finished)
        t.join();
}

void TMCThreadPool::WorkerLoop(Worker* self)
{
    std::unique_lock lock(FMutex);
    for (;;) {
        ++FIdle;
        bool got =
            FWork.wait_for(lock, std::chrono::seconds(5), [this] { return FStopping || !FQueued.empty(); });
        --FIdle;
        if (FStopping)
            break;
        if (!got) {
            if (FWorkers.size() > FPoolSize)
                break;
            continue;
        }
        std::unique_ptr<TMCThreadJob> job = std::move(FQueued.front());
        FQueued.pop_front();
        ++FStarted;
        FRunning.push_back(job.get());
        lock.unlock();
        try {
            job->Run();
        } catch (...) {
            // A job's failure ends that job only.
        }
        lock.lock();
        FRunning.erase(std::find(FRunning.begin(), FRunning.end(), job.get()));
        lock.unlock();
        job.reset();
        lock.lock();
    }
    self->done = true;
}

void TMCThreadPool::Stop()
{
    std::deque<std::unique_ptr<TMCThreadJob>> dropped;
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(FMutex);
        FStopping = true;
        dropped.swap(FQueued);
        for (TMCThreadJob* job : FRunning)
            job->Terminate();
        for (auto& w : FWorkers)
            threads.push_back(std::move(w.thread));
        FWork.notify_all();
    }
    for (auto& t : threads)
        if (t.joinable())
            t.join();
    dropped.clear();
    std::lock_guard lock(FMutex);
    FWorkers.clear();
    FStopping = false;
}

std::size_t TMCThreadPool::StartedJobs()
{
    std::lock_guard lock(FMutex);
    return FStarted;
}

void TMCThreadPool::ResetStartedJobs()
{
    std::lock_guard lock(FMutex);
    FStarted = 0;
}
