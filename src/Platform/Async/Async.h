#pragma once

#include "Platform/Async/CancelFlag.h"
#include "Platform/Async/Task.h"

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace korvalen {

namespace detail {
// Runs `work` on a pooled worker thread (never the calling one).
void startOnWorker(std::function<void()> work);
// Resumes `handle` on the main thread from the event loop, never inline.
void resumeOnMain(std::coroutine_handle<> handle);

struct SleepState;
void startSleep(const std::shared_ptr<SleepState>& state, std::chrono::milliseconds duration);

struct SleepState {
    std::coroutine_handle<> continuation;
    CancelFlag flag;
    std::uint64_t wakerKey = 0;
    void* timer = nullptr;  // the QTimer, kept opaque so this header needs no Qt
    bool finished = false;
    bool completed = false;
};
}  // namespace detail

// `co_await runDetached(fn)` runs fn on a worker thread and resumes the awaiting coroutine on the
// main thread through the event loop. The value fn returns is the result; an exception it throws
// is rethrown in the coroutine. fn is moved into the awaiter: capture values, not references to
// the coroutine's locals that may not outlive it.
template <typename F>
auto runDetached(F fn)
{
    using R = std::invoke_result_t<F&>;
    struct Awaiter {
        F fn;
        std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> value{};
        std::exception_ptr error;

        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> awaiting)
        {
            detail::startOnWorker([this, awaiting] {
                try {
                    if constexpr (std::is_void_v<R>) {
                        fn();
                        value = true;
                    } else {
                        value.emplace(fn());
                    }
                } catch (...) {
                    error = std::current_exception();
                }
                detail::resumeOnMain(awaiting);
            });
        }
        R await_resume()
        {
            if (error)
                std::rethrow_exception(error);
            if constexpr (!std::is_void_v<R>)
                return std::move(*value);
        }
    };
    return Awaiter{std::move(fn), {}, {}};
}

// `co_await sleepFor(d, flag)` suspends the coroutine for d without blocking the main thread.
// It gives true when the whole duration passed, false when the flag was (or became) set first.
class SleepAwaiter {
public:
    SleepAwaiter(std::chrono::milliseconds duration, CancelFlag flag) : duration_(duration), flag_(std::move(flag)) {}

    bool await_ready() const noexcept { return flag_.isCancelled(); }
    void await_suspend(std::coroutine_handle<> awaiting)
    {
        state_ = std::make_shared<detail::SleepState>();
        state_->continuation = awaiting;
        state_->flag = flag_;
        detail::startSleep(state_, duration_);
    }
    bool await_resume() const noexcept { return state_ ? state_->completed : false; }

private:
    std::chrono::milliseconds duration_;
    CancelFlag flag_;
    std::shared_ptr<detail::SleepState> state_;
};

template <typename Rep, typename Period>
SleepAwaiter sleepFor(std::chrono::duration<Rep, Period> duration, CancelFlag flag = {})
{
    return SleepAwaiter(std::chrono::ceil<std::chrono::milliseconds>(duration), std::move(flag));
}

// Gives the event loop one turn before going on (lets queued events and repaints run).
inline SleepAwaiter nextEventLoopTurn() { return SleepAwaiter(std::chrono::milliseconds(0), CancelFlag{}); }

}  // namespace korvalen
