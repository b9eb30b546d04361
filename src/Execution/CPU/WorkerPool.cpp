#include "Execution/CPU/WorkerPool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace korvalen {

namespace {

// How a thread waits for something another thread of the pool is about to do (the next pass, or
// the last worker of this one): first it watches with the processor's pause hint, so passes that
// follow each other closely pay no wake-up; then it keeps watching but yields its processor at
// every look, so a worker that was preempted there gets it back at once; then it sleeps. Sleeping
// soon matters as much as watching: while every waiting thread holds its processor, a worker
// preempted by another program waits a whole scheduler tick for a turn (a pass of a few hundred
// microseconds then takes milliseconds), whereas a processor left idle takes the preempted worker
// over within microseconds. Pools also rest() when a run of passes ends.
constexpr auto pauseWindow = std::chrono::microseconds(50);
constexpr auto yieldWindow = std::chrono::microseconds(300);

inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Watches `ready` for the two windows above; true once it holds, false when the thread should now
// sleep. `giveUp` ends the watch early (a pool told to rest).
template <typename Ready, typename GiveUp>
bool watchBeforeSleeping(Ready ready, GiveUp giveUp)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        for (int look = 0; look < 64; ++look) {
            if (ready()) return true;
            relax();
        }
        if (giveUp() || std::chrono::steady_clock::now() - start >= pauseWindow) break;
    }
    for (;;) {
        if (ready()) return true;
        if (giveUp() || std::chrono::steady_clock::now() - start >= yieldWindow) return false;
        sched_yield();
    }
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

    if (!watchBeforeSleeping([&] { return done.try_wait(); }, [] { return false; })) done.wait();
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
            watchBeforeSleeping(
                [&] {
                    current = generation_.load(std::memory_order_acquire);
                    return current != seen;
                },
                [&] { return resting_.load(std::memory_order_relaxed); });
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
