#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace korvalen::bench {

// The median of the samples (the mean of the middle two for an even count); the samples are not
// empty.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Calls per second of `step`: the inverse of its fastest call over about `seconds`, after one call
// not counted. The machine is shared, so the fastest call is the one least disturbed by other work.
inline double fastestRate(const std::function<void()>& step, double seconds)
{
    using Clock = std::chrono::steady_clock;
    step();
    double fastest = 1e30;
    const auto start = Clock::now();
    for (;;) {
        const auto before = Clock::now();
        step();
        const auto after = Clock::now();
        fastest = std::min(fastest, std::chrono::duration<double>(after - before).count());
        if (std::chrono::duration<double>(after - start).count() >= seconds) return 1.0 / fastest;
    }
}

}  // namespace korvalen::bench
