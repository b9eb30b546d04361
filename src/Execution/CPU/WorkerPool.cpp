#include "Execution/CPU/WorkerPool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace korvalen {

namespace {

// How long a thread that has just finished watches for the next pass before it sleeps, and how
// long the caller, done with its own share, watches the others before it sleeps. It must outlast
// a whole pass with room to spare: a worker that falls asleep between passes has to be woken for
// the next, which on a virtual machine can take longer than the pass itself, so the next pass
// runs late, its workers fall asleep again, and every pass stays slow. Pools rest() when a run of
// passes ends, so the watching never outlives the measurement.
constexpr auto spinWindow = std::chrono::milliseconds(5);

inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void nameThread(const std::string& label, int index)
{
    // Thread names hold 15 bytes: keep the end of the label, which carries what tells pools apart.
    std::string name = label + "/" + std::to_string(index);
    if (name.size() > 15) name.erase(0, name.size() - 15);
    pthread_setname_np(pthread_self(), name.c_str());
}

}  // namespace

WorkerPool::WorkerPool(int workers, std::string label) : label_(std::move(label)), workerCount_(std::max(workers, 1))
{
    threads_.reserve(static_cast<std::size_t>(workerCount_ - 1));
    for (int index = 1; index < workerCount_; ++index) threads_.emplace_back([this, index] { workerLoop(index); });
}

WorkerPool::~WorkerPool()
{
    stopping_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    threads_.clear();  // joins
}

void WorkerPool::wake()
{
    run([](int) {});
}

void WorkerPool::rest()
{
    resting_.store(true, std::memory_order_relaxed);
}

void WorkerPool::recordFailure()
{
    std::lock_guard guard(failureLock_);
    if (!failure_) failure_ = std::current_exception();
}

void WorkerPool::dispatch(Trampoline trampoline, void* context)
{
    failure_ = nullptr;
    std::latch done(static_cast<std::ptrdiff_t>(threads_.size()));
    if (!threads_.empty()) {
        trampoline_ = trampoline;
        context_ = context;
        done_ = &done;
        resting_.store(false, std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
    }

    try {
        trampoline(context, 0);
    } catch (...) {
        recordFailure();
    }

    if (!done.try_wait()) {
        const auto deadline = std::chrono::steady_clock::now() + spinWindow;
        while (!done.try_wait() && std::chrono::steady_clock::now() < deadline) relax();
        done.wait();
    }
    done_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void WorkerPool::workerLoop(int index)
{
    nameThread(label_, index);
    std::uint32_t seen = 0;
    for (;;) {
        std::uint32_t current = generation_.load(std::memory_order_acquire);
        if (current == seen) {
            const auto deadline = std::chrono::steady_clock::now() + spinWindow;
            do {
                relax();
                current = generation_.load(std::memory_order_acquire);
            } while (current == seen && !resting_.load(std::memory_order_relaxed) &&
                     std::chrono::steady_clock::now() < deadline);
        }
        while (current == seen) {
            generation_.wait(seen, std::memory_order_acquire);
            current = generation_.load(std::memory_order_acquire);
        }
        seen = current;
        if (stopping_.load(std::memory_order_relaxed)) return;

        try {
            trampoline_(context_, index);
        } catch (...) {
            recordFailure();
        }
        done_->count_down();
    }
}

}  // namespace korvalen
