#pragma once

#include <functional>
#include <type_traits>
#include <utility>

namespace korvalen {

// Seconds of the system's monotonic clock (never set back, counts on through suspension of the
// process, not of the machine). Every timed interval, deadline and time window of the benchmark
// reads this clock, directly or through a MonotonicClock.
double monotonicSeconds();

// The clock handed to code that measures or waits: the system's unless a test hands in its own
// source of seconds (see tests/support/FakeClock.h).
class MonotonicClock {
public:
    MonotonicClock() = default;
    template <typename Source>
    requires std::is_invocable_r_v<double, Source&> &&
        (!std::is_same_v<std::decay_t<Source>, MonotonicClock>)MonotonicClock(Source&& source)
        : source_(std::forward<Source>(source))
    {}

    double operator()() const { return source_ ? source_() : monotonicSeconds(); }

private:
    std::function<double()> source_;
};

}  // namespace korvalen
