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

// A fixed set of worker threads, started once and kept until the pool is destroyed, that runs one
// task on every worker at a time. Measurements create their pools before any warm-up, so no thread
// is ever started inside a timed pass; a pass costs one wake-up per worker and one latch.
class WorkerPool {
public:
    // Starts `workers` threads (at least one). `label` names the pool; the threads carry a short
    // form of it in the system's thread names.
    WorkerPool(int workers, std::string label);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int workerCount() const { return static_cast<int>(threads_.size()); }
    const std::string& label() const { return label_; }

    // Calls task(w) once on worker w for every w in [0, workerCount()) and returns when all have
    // returned. The calling thread only waits. When a task throws, the first exception is rethrown
    // here after every worker has finished. One pass at a time: not to be called concurrently.
    template <typename Task>
    void run(Task&& task)
    {
        using Plain = std::remove_reference_t<Task>;
        dispatch([](void* context, int worker) { (*static_cast<Plain*>(context))(worker); }, &task);
    }

private:
    using Trampoline = void (*)(void* context, int worker);

    void dispatch(Trampoline trampoline, void* context);
    void workerLoop(int index);

    std::string label_;
    // Job of the current pass: written by the caller before `generation_` moves on, read by the
    // workers after they see it move; left alone until the latch says every worker is done.
    Trampoline trampoline_ = nullptr;
    void* context_ = nullptr;
    std::latch* done_ = nullptr;
    std::mutex failureLock_;
    std::exception_ptr failure_;

    std::atomic<std::uint32_t> generation_{0};
    std::atomic<bool> stopping_{false};
    std::vector<std::jthread> threads_;
};

}  // namespace korvalen
