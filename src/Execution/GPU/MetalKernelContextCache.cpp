#include "Execution/GPU/MetalKernelContextCache.h"

#include "Model/AIBenchmarkError.h"

#include <algorithm>
#include <set>

namespace korvalen {

MetalKernelContextCache& MetalKernelContextCache::shared()
{
    static MetalKernelContextCache* const instance = new MetalKernelContextCache();
    return *instance;
}

MetalKernelContextCache::MetalKernelContextCache(MonotonicClock clock) : clock_(std::move(clock))
{}

std::shared_ptr<MetalKernelContext> MetalKernelContextCache::context(std::optional<std::uint64_t> registryID)
{
    // The device list is read before the lock: enumeration may be slow and needs no protection.
    const std::vector<gpu::DeviceInfo> devices = gpu::deviceProvider().devices();
    std::set<std::uint64_t> live;
    for (const auto& device : devices) live.insert(device.registryID);

    const gpu::DeviceInfo* chosen = nullptr;
    if (registryID) {
        auto match = std::find_if(devices.begin(), devices.end(),
                                  [&](const gpu::DeviceInfo& d) { return d.registryID == *registryID; });
        if (match != devices.end()) chosen = &*match;
    } else if (!devices.empty()) {
        chosen = &devices.front();  // the list leads with the default device
    }

    std::lock_guard lock(lock_);

    // What belongs to GPUs that have gone leaves with them. Their contexts are retired rather than
    // released: this runs under the lock, and a vanished device's driver may take its time.
    for (auto it = contexts_.begin(); it != contexts_.end();) {
        if (live.count(it->first)) {
            ++it;
        } else {
            retired_.push_back(it->second);
            it = contexts_.erase(it);
        }
    }
    std::erase_if(failures_, [&](const FailureEntry& entry) { return live.count(entry.registryID) == 0; });
    for (auto it = quarantined_.begin(); it != quarantined_.end();) {
        it = live.count(it->first) ? std::next(it) : quarantined_.erase(it);
    }

    if (!chosen) throw AIBenchmarkError::metalUnavailable();
    const std::uint64_t id = chosen->registryID;

    auto quarantine = quarantined_.find(id);
    if (quarantine != quarantined_.end()) {
        throw AIBenchmarkError::commandFailure("Metal device " + chosen->name +
                                               " is quarantined after a command timeout: " + quarantine->second + ". " +
                                               "Restart Korvalen AI before benchmarking this GPU again.");
    }

    auto cached = contexts_.find(id);
    if (cached != contexts_.end()) return cached->second;

    const double now = clock_();
    auto remembered = std::find_if(failures_.begin(), failures_.end(),
                                   [&](const FailureEntry& entry) { return entry.registryID == id; });
    if (remembered != failures_.end()) {
        if (now - remembered->recordedAt < failureMemorySeconds) std::rethrow_exception(remembered->error);
        std::erase_if(failures_, [&](const FailureEntry& entry) { return entry.registryID == id; });
    }

    try {
        auto built = std::make_shared<MetalKernelContext>(gpu::openDevice(*chosen));
        contexts_[id] = built;
        return built;
    } catch (const std::exception& failure) {
        std::erase_if(failures_, [&](const FailureEntry& entry) { return entry.registryID == id; });
        failures_.push_back({id, failure.what(), clock_(), std::current_exception()});
        throw;
    }
}

void MetalKernelContextCache::quarantine(std::uint64_t registryID, const std::string& reason)
{
    std::lock_guard lock(lock_);
    auto cached = contexts_.find(registryID);
    if (cached != contexts_.end()) {
        retired_.push_back(cached->second);
        contexts_.erase(cached);
    }
    std::erase_if(failures_, [&](const FailureEntry& entry) { return entry.registryID == registryID; });
    quarantined_[registryID] = reason;
}

std::optional<std::string> MetalKernelContextCache::quarantineReason(std::uint64_t registryID) const
{
    std::lock_guard lock(lock_);
    auto found = quarantined_.find(registryID);
    if (found == quarantined_.end()) return std::nullopt;
    return found->second;
}

bool MetalKernelContextCache::hasContext(std::uint64_t registryID) const
{
    std::lock_guard lock(lock_);
    return contexts_.count(registryID) > 0;
}

std::vector<MetalKernelContextCache::FailureEntry> MetalKernelContextCache::failures() const
{
    std::lock_guard lock(lock_);
    return failures_;
}

}  // namespace korvalen
