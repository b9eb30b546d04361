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

// `co_await runDetached(work)` runs `work` on a worker thread and resumes the awaiting coroutine
// on the main thread through the event loop. What `work` returns is the result; an exception it
// throws is rethrown in the coroutine. `work` is copied: capture values, never references to the
// coroutine's locals.
//
// Name the callable before awaiting it (`auto work = [..] {..}; co_await runDetached(work);`):
// GCC 12 destroys the captures of a lambda, or the members of a braced temporary, written inside
// a co_await expression twice. The assertion below refuses such a callable at compile time.
template <typename F>
auto runDetached(F&& work)
{
    using Fn = std::remove_cvref_t<F>;
    static_assert(std::is_lvalue_reference_v<F> || std::is_trivially_destructible_v<Fn>,
                  "name the callable before co_await runDetached(...): GCC 12 destroys the captures of a lambda "
                  "written inside a co_await expression twice");
    using R = std::invoke_result_t<Fn&>;
    struct Awaiter {
        Fn fn;
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
            if (error) std::rethrow_exception(error);
            if constexpr (!std::is_void_v<R>) return std::move(*value);
        }
    };
    return Awaiter{Fn(std::forward<F>(work)), {}, {}};
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

// The flag is taken by reference and copied here, outside the coroutine (see runDetached).
template <typename Rep, typename Period>
SleepAwaiter sleepFor(std::chrono::duration<Rep, Period> duration, const CancelFlag& flag)
{
    return SleepAwaiter(std::chrono::ceil<std::chrono::milliseconds>(duration), flag);
}

template <typename Rep, typename Period>
SleepAwaiter sleepFor(std::chrono::duration<Rep, Period> duration)
{
    return SleepAwaiter(std::chrono::ceil<std::chrono::milliseconds>(duration), CancelFlag{});
}

// Gives the event loop one turn before going on (lets queued events and repaints run).
inline SleepAwaiter nextEventLoopTurn()
{
    return SleepAwaiter(std::chrono::milliseconds(0), CancelFlag{});
}

}  // namespace korvalen
