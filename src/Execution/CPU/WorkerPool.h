#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace korvalen {

// A fixed set of workers that run one task at a time, each on its own share. Worker 0 is the thread
// that calls run(); the others are threads started once, when the pool is made, and kept until it
// is destroyed. Measurements make their pools before any warm-up, so no thread is ever started
// inside a timed pass, and a pass costs one wake-up per extra worker and one latch.
class WorkerPool {
public:
    // `workers` counts the calling thread (at least one): workers - 1 threads are started. `label`
    // names the pool; the threads carry a short form of it in the system's thread names.
    WorkerPool(int workers, std::string label);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int workerCount() const { return workerCount_; }
    const std::string& label() const { return label_; }

    // Calls task(w) once for every w in [0, workerCount()): task(0) on the calling thread, every
    // other on its own kept thread; returns when all have returned. When a task throws, the first
    // exception is rethrown here after every worker has finished. One pass at a time: not to be
    // called concurrently. After a pass the threads watch briefly for the next one before they
    // sleep, so passes that follow each other closely pay no wake-up.
    template <typename Task>
    void run(Task&& task)
    {
        using Plain = std::remove_reference_t<Task>;
        dispatch([](void* context, int worker) { (*static_cast<Plain*>(context))(worker); }, &task);
    }

    // Wakes every thread and returns once all are awake and watching for work, so that the next
    // pass starts on all of them at once instead of paying for their wake-up.
    void wake();

    // Sends the threads to sleep at once instead of watching for another pass, so they leave the
    // processors to whatever runs next (another pool, for one). The next run wakes them as usual.
    void rest();

private:
    using Trampoline = void (*)(void* context, int worker);

    void dispatch(Trampoline trampoline, void* context);
    void workerLoop(int index);
    void recordFailure();

    std::string label_;
    int workerCount_;
    // Job of the current pass: written by the caller before `generation_` moves on, read by the
    // threads after they see it move; left alone until the latch says every thread is done.
    Trampoline trampoline_ = nullptr;
    void* context_ = nullptr;
    std::latch* done_ = nullptr;
    std::mutex failureLock_;
    std::exception_ptr failure_;

    std::atomic<std::uint32_t> generation_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> resting_{false};
    std::vector<std::jthread> threads_;
};

}  // namespace korvalen
