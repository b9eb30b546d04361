#include "Platform/Foundation/MonotonicClock.h"

#include <chrono>

namespace korvalen {

double monotonicSeconds()
{
    // Nanoseconds converted once, before any difference is taken, so every reader derives its
    // spans the same way.
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<double>(nanoseconds.count()) / 1e9;
}

}  // namespace korvalen
