#include "frontend/worker_pool.h"

#include <system_error>

#include "frontend/program.h"

namespace elq {

WorkerPool::WorkerPool(uint32_t threads) {
    threads_.reserve(threads);
    for (uint32_t i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back(&WorkerPool::run, this);
        } catch (const std::system_error&) {
            break;  // the system grants no more threads: work with those there are
        }
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

void WorkerPool::submit(Job& job, std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({&job, std::move(work)});
    }
    changed_.notify_all();
}

void WorkerPool::wait(Job& job, const std::function<void()>& tick) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return job.done; })) {
        lock.unlock();
        tick();
        lock.lock();
    }
}

void WorkerPool::run() {
    // The decoder replays the encoder's doubles: every thread computes in the same mode.
    setFloatingPointMode();
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return cancelled_.load() || !queue_.empty(); });
            if (cancelled_) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            task.work();
        } catch (...) {
            task.job->failure = std::current_exception();
        }
        task.work = nullptr;  // release what the work captured before the owner sees it done
        {
            std::lock_guard<std::mutex> lock(mutex_);
            task.job->done = true;
        }
        changed_.notify_all();
    }
}

}  // namespace elq
