#pragma once

// Runs a main-thread Task to its end from a test and hands back its value or its exception.
// Header-only and Qt-based: include only from test programs that link Qt.

#include "Platform/Async/Task.h"
#include "support/QtTestApp.h"

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace korvalen::test {

template <typename T>
struct TaskOutcome {
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
    std::exception_ptr error;
    bool finished = false;

    // The exception as type E, or null.
    template <typename E>
    const E* errorAs() const
    {
        if (!error) return nullptr;
        try {
            std::rethrow_exception(error);
        } catch (const E& e) {
            static thread_local std::optional<E> kept;
            kept.emplace(e);
            return &*kept;
        } catch (...) {
            return nullptr;
        }
    }
};

namespace detail {
template <typename T>
Task<> collect(Task<T> task, std::shared_ptr<TaskOutcome<T>> outcome)
{
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome->value = true;
        } else {
            outcome->value.emplace(co_await std::move(task));
        }
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->finished = true;
}
}  // namespace detail

// Starts watching `task`; the outcome fills in as the event loop runs.
template <typename T>
std::shared_ptr<TaskOutcome<T>> watch(Task<T> task)
{
    auto outcome = std::make_shared<TaskOutcome<T>>();
    detail::collect(std::move(task), outcome).detach();
    return outcome;
}

// Spins the event loop until the task ends (or the time-out passes).
template <typename T>
std::shared_ptr<TaskOutcome<T>> await(Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    auto outcome = watch(std::move(task));
    processEventsUntil([&] { return outcome->finished; }, timeout);
    return outcome;
}

}  // namespace korvalen::test
