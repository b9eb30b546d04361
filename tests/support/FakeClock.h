#pragma once

#include "Platform/Foundation/MonotonicClock.h"

#include <deque>
#include <memory>

namespace korvalen::testing {

// A monotonic clock that moves only as the test says: each reading first hands out the next scripted
// value, if any, else advances by `step` (0: it stands still until advanced). Copies share one time.
class FakeClock {
public:
    explicit FakeClock(double step = 0.0, std::deque<double> script = {})
        : state_(std::make_shared<State>(State{0.0, step, std::move(script), 0}))
    {}

    double read() const
    {
        State& s = *state_;
        ++s.reads;
        if (!s.script.empty()) {
            s.now = s.script.front();
            s.script.pop_front();
        } else {
            s.now += s.step;
        }
        return s.now;
    }

    void advance(double seconds) const { state_->now += seconds; }
    void setStep(double step) const { state_->step = step; }
    double now() const { return state_->now; }
    int reads() const { return state_->reads; }

    MonotonicClock clock() const
    {
        return MonotonicClock([state = state_] { return FakeClock(state).read(); });
    }
    operator MonotonicClock() const { return clock(); }

private:
    struct State {
        double now;
        double step;
        std::deque<double> script;
        int reads;
    };
    explicit FakeClock(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace korvalen::testing
