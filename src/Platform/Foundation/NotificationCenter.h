#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvalen {

// What an observer receives. Notifications of this application carry no object and no user
// information, only their name.
struct Notification {
    std::string name;
};

// Identifies one registration; 0 is never handed out.
struct ObserverToken {
    std::uint64_t value = 0;
    explicit operator bool() const { return value != 0; }
    bool operator==(const ObserverToken&) const = default;
};

// Process-wide, name-keyed notifications delivered synchronously on the posting thread.
//
// post() calls the observers registered for the name at the moment of posting, in registration
// order, without holding the centre's lock, so an observer may post, add or remove observers
// (itself included). An observer removed before its turn in a delivery that is under way is not
// called; one added during a delivery is called from the next post on. removeObserver() does not
// wait for a call already running on another thread.
class NotificationCenter {
public:
    using Callback = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    ObserverToken addObserver(std::string_view name, Callback callback);
    // False when the token was not (or no longer) registered.
    bool removeObserver(ObserverToken token);
    void post(std::string_view name);

    std::size_t observerCount(std::string_view name) const;

private:
    struct Entry {
        ObserverToken token;
        Callback callback;
        bool removed = false;  // guarded by the centre's lock
    };

    mutable std::mutex lock_;
    std::uint64_t nextToken_ = 1;
    std::unordered_map<std::string, std::vector<std::shared_ptr<Entry>>> observers_;
    std::unordered_map<std::uint64_t, std::string> namesByToken_;

    bool isLive(const Entry& entry) const;
};

// Removes its registration when it goes away; for observers whose lifetime is a scope or an object.
class ScopedObserver {
public:
    ScopedObserver() = default;
    ScopedObserver(NotificationCenter& center, std::string_view name, NotificationCenter::Callback callback);
    ~ScopedObserver();
    ScopedObserver(ScopedObserver&& other) noexcept;
    ScopedObserver& operator=(ScopedObserver&& other) noexcept;
    ScopedObserver(const ScopedObserver&) = delete;
    ScopedObserver& operator=(const ScopedObserver&) = delete;

    void reset();
    ObserverToken token() const { return token_; }

private:
    NotificationCenter* center_ = nullptr;
    ObserverToken token_;
};

}  // namespace korvalen
