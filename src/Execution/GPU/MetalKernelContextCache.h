#pragma once

// The process-wide cache of GPU contexts: one context (one library compile) per GPU registry
// identifier, a failed build remembered for 30 seconds so that GPU is not compiled again meanwhile,
// and the quarantine of a GPU whose command timed out, for the rest of the process.

#include "Execution/GPU/MetalKernelContext.h"
#include "Platform/Foundation/MonotonicClock.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvalen {

class MetalKernelContextCache {
public:
    struct FailureEntry {
        std::uint64_t registryID = 0;
        std::string message;       // the failed build's error text
        double recordedAt = 0;     // uptime seconds
        std::exception_ptr error;  // the failed build's own error, thrown again while remembered
    };

    static constexpr double failureMemorySeconds = 30.0;

    // The one cache of the process, made on first use and never destroyed (a context of a hung
    // GPU must not be released at exit).
    static MetalKernelContextCache& shared();

    // A cache of its own, for tests, reading time from `clock`.
    explicit MetalKernelContextCache(MonotonicClock clock = {});
    MetalKernelContextCache(const MetalKernelContextCache&) = delete;
    MetalKernelContextCache& operator=(const MetalKernelContextCache&) = delete;

    // The context of a GPU of the device list (none: the first listed device), built on a miss
    // while the cache's lock is held. Throws AIBenchmarkError: metalUnavailable when no device
    // matches; commandFailure with the quarantine text for a quarantined GPU; the remembered error
    // while a failed build is younger than 30 seconds; the build's own error when it fails.
    std::shared_ptr<MetalKernelContext> context(std::optional<std::uint64_t> registryID);

    // After a command time-out: the GPU's context and failure entries go, and every later request
    // for it is refused with `reason`. The context is kept alive, unused, for the life of the
    // cache: releasing a queue with work that never finishes may wait forever.
    void quarantine(std::uint64_t registryID, const std::string& reason);

    // Inspection.
    std::optional<std::string> quarantineReason(std::uint64_t registryID) const;
    bool hasContext(std::uint64_t registryID) const;
    std::vector<FailureEntry> failures() const;

private:
    MonotonicClock clock_;
    mutable std::mutex lock_;
    std::map<std::uint64_t, std::shared_ptr<MetalKernelContext>> contexts_;
    std::vector<FailureEntry> failures_;
    std::map<std::uint64_t, std::string> quarantined_;
    std::vector<std::shared_ptr<MetalKernelContext>> retired_;  // quarantined or purged, never released
};

}  // namespace korvalen
