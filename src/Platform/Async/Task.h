#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace korvalen {

// A coroutine that runs on the main thread's event loop.
//
// It starts at once (no initial suspension) and runs until its first co_await. The Task object is
// an optional handle: dropping it detaches the coroutine, which then frees itself when it ends
// (fire and forget); keeping it lets the owner ask whether it is done or co_await its result.
// Suspensions happen only through awaitables that resume on the main thread (runDetached,
// sleepFor, another Task), so the body always runs on the thread that started it.
//
// Arguments of a coroutine are copied into its frame: pass values, never references that must
// outlive a suspension. Inside a co_await expression avoid lambdas that capture by value and braced
// temporaries with members that own memory: GCC 12 destroys those twice (see runDetached).
//
// An exception that leaves the body is kept for an awaiting coroutine; one that nobody awaits is
// reported on standard error, so nothing is ever thrown into Qt's event handling.
template <typename T = void>
class Task;

namespace detail {

void reportDetachedTaskFailure(std::exception_ptr error) noexcept;

struct TaskPromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    bool detached = false;
    bool observed = false;  // an awaiting coroutine has seen the outcome

    std::suspend_never initial_suspend() noexcept { return {}; }

    template <typename Promise>
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept
        {
            TaskPromiseBase& promise = self.promise();
            if (promise.continuation) return promise.continuation;
            if (promise.detached) {
                if (promise.error) reportDetachedTaskFailure(promise.error);
                self.destroy();
            }
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };

    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T>
struct TaskPromise : TaskPromiseBase {
    std::optional<T> value;
    Task<T> get_return_object() noexcept;
    FinalAwaiter<TaskPromise> final_suspend() noexcept { return {}; }
    template <typename U>
    void return_value(U&& v)
    {
        value.emplace(std::forward<U>(v));
    }
};

template <>
struct TaskPromise<void> : TaskPromiseBase {
    Task<void> get_return_object() noexcept;
    FinalAwaiter<TaskPromise> final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
};

}  // namespace detail

template <typename T>
class [[nodiscard("drop the Task explicitly with detach() to run it fire-and-forget")]] Task
{
public:
    using promise_type = detail::TaskPromise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(Handle h) : handle_(h)
    {}
    Task(Task && other) noexcept : handle_(std::exchange(other.handle_, {}))
    {}
    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task()
    {
        release();
    }

    // True when there is no coroutine or it has ended.
    bool isDone() const
    {
        return !handle_ || handle_.done();
    }
    bool isValid() const
    {
        return static_cast<bool>(handle_);
    }

    // Lets the coroutine run on by itself; it frees itself when it ends.
    void detach()
    {
        release();
    }

    // Awaiting a task suspends the caller until the task ends, then yields its value or rethrows.
    // Only one coroutine may await a given task.
    auto operator co_await()&& noexcept
    {
        struct Awaiter {
            Handle handle;
            bool await_ready() const noexcept { return !handle || handle.done(); }
            void await_suspend(std::coroutine_handle<> awaiting) noexcept { handle.promise().continuation = awaiting; }
            T await_resume()
            {
                auto& promise = handle.promise();
                promise.observed = true;
                if (promise.error) std::rethrow_exception(promise.error);
                if constexpr (!std::is_void_v<T>) return std::move(*promise.value);
            }
        };
        return Awaiter{handle_};
    }

private:
    void release()
    {
        if (!handle_) return;
        if (handle_.done()) {
            if (handle_.promise().error && !handle_.promise().observed)
                detail::reportDetachedTaskFailure(handle_.promise().error);
            handle_.destroy();
        } else
            handle_.promise().detached = true;
        handle_ = {};
    }

    Handle handle_;
};

namespace detail {
template <typename T>
Task<T> TaskPromise<T>::get_return_object() noexcept
{
    return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept
{
    return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}
}  // namespace detail

}  // namespace korvalen
