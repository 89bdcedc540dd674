// Worker threads of the encode and decode commands: jobs run in parallel and are taken back by
// the submitting thread in its own order, so that output is written exactly as one thread would.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace elq {

// One unit of work handed to the pool; embedded in the caller's per-block slot.
struct Job {
    bool done = false;           // set under the pool's lock once the work has run
    std::exception_ptr failure;  // what the work threw, if anything
};

// Thrown inside a job when the pool shuts down, to end long work early.
struct JobCancelled {};

class WorkerPool {
public:
    // Starts up to `threads` workers; size() tells how many the system granted.
    explicit WorkerPool(uint32_t threads);
    // Drops queued jobs, cancels running ones and joins every thread.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    uint32_t size() const { return static_cast<uint32_t>(threads_.size()); }

    // Queues `work` for `job` (reset by the caller beforehand); jobs start in submission order.
    void submit(Job& job, std::function<void()> work);
    // Waits until `job` has run, calling `tick` on this thread about every 100 ms meanwhile.
    void wait(Job& job, const std::function<void()>& tick);

    // True once the pool shuts down; long work polls it and throws JobCancelled.
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    // For jobs that wait on each other: `change` runs under the pool's lock, then every waiter
    // wakes; awaitCondition blocks a worker until `ready()` holds under that lock, and throws
    // JobCancelled if the pool shuts down first.
    template <class Change>
    void publish(Change change) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change();
        }
        changed_.notify_all();
    }
    template <class Ready>
    void awaitCondition(Ready ready) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_.load() || ready(); });
        if (cancelled_.load()) throw JobCancelled{};
    }

private:
    struct Task {
        Job* job;
        std::function<void()> work;
    };
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;  // queue, job completion, publish and shutdown
    std::deque<Task> queue_;
    std::atomic<bool> cancelled_{false};
    std::vector<std::thread> threads_;
};

}  // namespace elq
