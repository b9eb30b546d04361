#include "Platform/Foundation/NotificationCenter.h"

#include <utility>

namespace korvalen {

NotificationCenter& NotificationCenter::defaultCenter()
{
    // Never destroyed: observers may still post from other threads while the process exits.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

ObserverToken NotificationCenter::addObserver(std::string_view name, Callback callback)
{
    auto entry = std::make_shared<Entry>();
    entry->callback = std::move(callback);
    std::lock_guard guard(lock_);
    entry->token = ObserverToken{nextToken_++};
    observers_[std::string(name)].push_back(entry);
    namesByToken_.emplace(entry->token.value, std::string(name));
    return entry->token;
}

bool NotificationCenter::removeObserver(ObserverToken token)
{
    std::shared_ptr<Entry> removedEntry;  // released after the lock: its callback may own anything
    std::lock_guard guard(lock_);
    const auto named = namesByToken_.find(token.value);
    if (named == namesByToken_.end()) return false;
    const auto list = observers_.find(named->second);
    if (list != observers_.end()) {
        auto& entries = list->second;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if ((*it)->token == token) {
                (*it)->removed = true;
                removedEntry = std::move(*it);
                entries.erase(it);
                break;
            }
        }
        if (entries.empty()) observers_.erase(list);
    }
    namesByToken_.erase(named);
    return true;
}

bool NotificationCenter::isLive(const Entry& entry) const
{
    std::lock_guard guard(lock_);
    return !entry.removed;
}

void NotificationCenter::post(std::string_view name)
{
    std::vector<std::shared_ptr<Entry>> snapshot;
    {
        std::lock_guard guard(lock_);
        const auto list = observers_.find(std::string(name));
        if (list == observers_.end()) return;
        snapshot = list->second;
    }
    const Notification notification{std::string(name)};
    for (const auto& entry : snapshot) {
        if (isLive(*entry)) entry->callback(notification);
    }
}

std::size_t NotificationCenter::observerCount(std::string_view name) const
{
    std::lock_guard guard(lock_);
    const auto list = observers_.find(std::string(name));
    return list == observers_.end() ? 0 : list->second.size();
}

ScopedObserver::ScopedObserver(NotificationCenter& center, std::string_view name, NotificationCenter::Callback callback)
    : center_(&center), token_(center.addObserver(name, std::move(callback)))
{}

ScopedObserver::~ScopedObserver()
{
    reset();
}

ScopedObserver::ScopedObserver(ScopedObserver&& other) noexcept
    : center_(std::exchange(other.center_, nullptr)), token_(std::exchange(other.token_, ObserverToken{}))
{}

ScopedObserver& ScopedObserver::operator=(ScopedObserver&& other) noexcept
{
    if (this != &other) {
        reset();
        center_ = std::exchange(other.center_, nullptr);
        token_ = std::exchange(other.token_, ObserverToken{});
    }
    return *this;
}

void ScopedObserver::reset()
{
    if (center_ != nullptr && token_) center_->removeObserver(token_);
    center_ = nullptr;
    token_ = ObserverToken{};
}

}  // namespace korvalen
