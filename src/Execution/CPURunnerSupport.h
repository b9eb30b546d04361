#pragma once

// Helpers shared by the CPU runner's sources only.

#include "Model/AIBenchmarkError.h"
#include "Model/BenchmarkCancellationToken.h"

#include <chrono>

namespace korvalen::cpurunner {

// The monotonic uptime clock in seconds. Each reading is converted on its own, before any
// difference is taken, so every runner derives its spans the same way.
inline double uptimeSeconds()
{
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return static_cast<double>(nanoseconds) / 1e9;
}

inline void checkCancellation(const BenchmarkCancellationToken& cancellation)
{
    if (cancellation.isCancelled()) throw AIBenchmarkError::cancelled();
}

}  // namespace korvalen::cpurunner
