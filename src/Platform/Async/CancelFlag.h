#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace korvalen {

// A shared "please stop" flag for main-thread tasks. Copies share one state. It can be set from
// any thread; waiters (such as a pending sleepFor) are woken through the callbacks they register.
class CancelFlag {
public:
    CancelFlag() : state_(std::make_shared<State>()) {}

    void cancel() const
    {
        std::map<std::uint64_t, std::function<void()>> wakers;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->cancelled.exchange(true)) return;
            wakers.swap(state_->wakers);
        }
        for (auto& [id, wake] : wakers) wake();
    }

    bool isCancelled() const { return state_->cancelled.load(); }

    // Calls `wake` once when the flag is set (on the thread that sets it), or at once when it
    // already is. The returned key forgets the waker again, so repeated waits do not pile up.
    std::uint64_t onCancel(std::function<void()> wake) const
    {
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->cancelled.load()) {
                const std::uint64_t key = ++state_->nextKey;
                state_->wakers.emplace(key, std::move(wake));
                return key;
            }
        }
        wake();
        return 0;
    }

    void forget(std::uint64_t key) const
    {
        std::lock_guard lock(state_->mutex);
        state_->wakers.erase(key);
    }

    bool operator==(const CancelFlag& other) const { return state_ == other.state_; }

private:
    struct State {
        std::mutex mutex;
        std::atomic<bool> cancelled{false};
        std::uint64_t nextKey = 0;
        std::map<std::uint64_t, std::function<void()>> wakers;
    };
    std::shared_ptr<State> state_;
};

}  // namespace korvalen
