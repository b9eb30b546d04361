// The one timed loop every runner family measures with, on a fake clock.

#include "Execution/Shared/TimedLoop.h"
#include "Model/AIWorkloadCatalog.h"
#include "support/FakeClock.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace korvalen {
namespace {

using testing::FakeClock;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(SafeTargetSeconds, ScaledBaseWithAFloorAndACeiling)
{
    struct Case {
        double scale, base, floor, expected;
    };
    for (const Case& c : {
             Case{2.0, 0.5, 0.35, 1.0}, Case{0.6, 0.5, 0.35, 0.35},    // raised to the floor
             Case{0.0, 1.0, 0.35, 0.35}, Case{-3.0, 1.0, 0.35, 0.35},  // negative
             Case{nan, 1.0, 0.35, 0.35},                               // not a number
             Case{0.0, inf, 0.35, 0.35},                               // 0 × infinity is not a number either
             Case{1e300, 1e10, 0.35, maximumTargetSeconds}, Case{inf, 1.0, 0.4, maximumTargetSeconds},
             Case{1.0, 0.1, 0.5, 0.5},  // the model runners' own floors
         }) {
        SCOPED_TRACE(::testing::PrintToString(c.scale) + " x " + ::testing::PrintToString(c.base));
        EXPECT_DOUBLE_EQ(safeTargetSeconds(c.scale, c.base, c.floor), c.expected);
    }
}

struct LoopRun {
    int steps = 0;
    int memoryReadings = 0;
    std::vector<double> samples;
    double seconds = 0;
};

// Runs a loop on a clock that advances `step` seconds per reading; memory readings are counted
// (the tracker's own start and finish readings excluded).
LoopRun runLoop(TimedLoopRules rules, double step, BenchmarkCancellationToken& token,
                const std::function<void(int)>& during = {})
{
    LoopRun run;
    PeakMemoryTracker tracker([&] {
        ++run.memoryReadings;
        return 10.0;
    });
    run.memoryReadings = 0;
    TimedLoop loop(token, tracker, FakeClock(step));
    loop.run(rules, [&] {
        ++run.steps;
        if (during) during(run.steps);
    });
    run.samples = loop.samples();
    run.seconds = loop.seconds();
    return run;
}

TEST(TimedLoop, EndsOnceTheTargetHasPassedAndTheMinimumCountHasRun)
{
    struct Case {
        const char* name;
        double target;
        int minimum;
        double step;
        int expected;
    };
    for (const Case& c : {
             Case{"zero target: the minimum count", 0.0, 3, 1.0, 3},
             Case{"negative target", -5.0, 5, 1.0, 5},
             Case{"not a number: the minimum count, not an endless loop", nan, 5, 1.0, 5},
             Case{"slow steps outlast the target", 0.35, 3, 60.0, 3},
             // Start at 0.01; iteration k ends at 0.01 + 0.02k, 0.02k seconds after the start.
             Case{"short steps run until the target", 0.35, 3, 0.01, 18},
             Case{"the largest target a source gives still ends", maximumTargetSeconds, 3, 100.0, 18},
         }) {
        SCOPED_TRACE(c.name);
        BenchmarkCancellationToken token;
        const LoopRun run = runLoop({c.target, c.minimum}, c.step, token);
        EXPECT_EQ(run.steps, c.expected);
        ASSERT_EQ(run.samples.size(), static_cast<std::size_t>(c.expected));
        EXPECT_DOUBLE_EQ(run.samples.front(), c.step * 1000.0);  // the wall interval around the step
        // The end is read once more after the last iteration.
        EXPECT_DOUBLE_EQ(run.seconds, (2 * c.expected + 1) * c.step);
    }
}

TEST(TimedLoop, CancellationIsCheckedBeforeEveryIteration)
{
    struct Case {
        const char* name;
        int cancelDuring;  // 0: before the loop starts
        double target;
        int expectedSteps;
    };
    for (const Case& c : {
             Case{"before: nothing runs", 0, 0.0, 0},
             Case{"during the minimum samples: the next never starts", 2, 0.0, 2},
             Case{"after the minimum samples, before the target", 4, 1e9, 4},
             Case{"in the last iteration: the measurement stands", 3, 0.0, 3},
         }) {
        SCOPED_TRACE(c.name);
        BenchmarkCancellationToken token;
        if (c.cancelDuring == 0) token.cancel();
        int steps = 0;
        const auto body = [&] {
            return runLoop({c.target, 3}, 1.0, token, [&](int n) {
                steps = n;
                if (n == c.cancelDuring) token.cancel();
            });
        };
        if (c.cancelDuring == 3) {
            EXPECT_EQ(body().steps, 3);
            continue;
        }
        try {
            body();
            ADD_FAILURE() << "no error";
        } catch (const AIBenchmarkError& error) {
            EXPECT_EQ(error.errorDescription(), "Benchmark cancelled.");
        }
        EXPECT_EQ(steps, c.expectedSteps);
    }
}

TEST(TimedLoop, AFailingIterationEndsTheLoopWithItsOwnError)
{
    BenchmarkCancellationToken token;
    for (int failing : {1, 3, 4}) {
        int steps = 0;
        EXPECT_THROW(runLoop({1e9, 3}, 1.0, token,
                             [&](int n) {
                                 steps = n;
                                 if (n == failing) throw std::runtime_error("kernel failed");
                             }),
                     std::runtime_error);
        EXPECT_EQ(steps, failing);
    }
}

TEST(TimedLoop, MemoryIsSampledAfterIterationsAtMostOncePerInterval)
{
    // Times in 1/4096 s, exact in binary: iteration k ends (2k + 1) units after the clock's zero.
    constexpr double unit = 1.0 / 4096;
    struct Case {
        double interval, step, target;
        int minimum, steps, readings;
    };
    for (const Case& c : {
             Case{0.0, unit, 20 * unit, 1, 10, 10},      // every iteration
             Case{8 * unit, unit, 20 * unit, 1, 10, 3},  // ends 3, 11 and 19 units in
             Case{8 * unit, 1.0, 0.0, 3, 3, 3},          // slow iterations: every one
             Case{8 * unit, 0.0, 0.0, 3, 3, 1},          // a clock standing still: only after the first
         }) {
        SCOPED_TRACE(::testing::PrintToString(c.interval) + " / " + ::testing::PrintToString(c.step));
        BenchmarkCancellationToken token;
        const LoopRun run = runLoop({c.target, c.minimum, c.interval}, c.step, token);
        EXPECT_EQ(run.steps, c.steps);
        EXPECT_EQ(run.memoryReadings, c.readings);
    }
}

TEST(TimedLoop, StepsMayHandInTheirOwnSamplesAndTheRecordFollowsTheWork)
{
    BenchmarkCancellationToken token;
    PeakMemoryTracker tracker([] { return 12.0; });
    FakeClock clock(0.5);
    TimedLoop loop(token, tracker, clock);
    double next = 0;
    loop.run({.targetSeconds = 0, .minimumSamples = 4, .endedByCaller = true}, [&] { return next += 0.25; });
    clock.advance(2.0);
    loop.stop();  // work after the loop that belongs to the phase
    const AIWorkloadDefinition& workload = AIWorkloadCatalog::definitions().at(AIWorkloadID::matrixFP32);
    const KernelMeasurement m = loop.measurement(workload, Date{}, 10.0);
    EXPECT_EQ(m.latencySamplesMS, (std::vector<double>{0.25, 0.5, 0.75, 1.0}));
    EXPECT_EQ(m.iterations, 4);
    EXPECT_DOUBLE_EQ(m.wallSeconds, 6.5);  // from 0.5 to 4.5, 2 s more, then the reading of stop()
    EXPECT_DOUBLE_EQ(m.throughput, 10.0 / 6.5);
    EXPECT_EQ(m.throughputUnit, workload.throughputUnit);
    EXPECT_EQ(m.memory.peakMB, 12.0);
}

}  // namespace
}  // namespace korvalen
