#pragma once

// The one timed loop every runner family measures with, and the rules it shares: the target
// duration, the minimum sample count, cancellation between iterations, memory sampling and the
// record handed to scoring. What a family times, and how it validates, stays with the family.

#include "Model/AIBenchmarkError.h"
#include "Model/AIRecords.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/KernelMeasurement.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/MonotonicClock.h"

#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

namespace korvalen {

inline constexpr double minimumTargetSeconds = 0.35;
// No measurement is ever meant to run for hours; an absurd scale must not pin a run forever.
inline constexpr double maximumTargetSeconds = 3600.0;

// max(durationScale × baseDuration, floor) seconds, capped at maximumTargetSeconds; a product that
// is not a number (a NaN scale, or 0 × infinity) gives the floor.
double safeTargetSeconds(double durationScale, double baseDuration, double floor = minimumTargetSeconds);

inline void checkCancellation(const BenchmarkCancellationToken& cancellation)
{
    if (cancellation.isCancelled()) throw AIBenchmarkError::cancelled();
}

struct TimedLoopRules {
    double targetSeconds = 0;  // a NaN target counts as 0: the minimum count alone ends the loop
    int minimumSamples = 1;
    // Least time between two memory readings after iterations; 0 reads after every iteration. The
    // first iteration is always followed by one.
    double memorySampleInterval = 0;
    // Work after the last iteration still belongs to the timed phase: the caller ends it with stop().
    bool endedByCaller = false;
};

// One timed phase: starts the clock, runs iterations until the target has passed and the minimum
// count has run, and keeps one latency sample per iteration.
class TimedLoop {
public:
    TimedLoop(const BenchmarkCancellationToken& cancellation, PeakMemoryTracker& tracker, MonotonicClock clock = {})
        : cancellation_(cancellation), tracker_(tracker), clock_(std::move(clock))
    {}

    double now() const { return clock_(); }

    // Before each iteration a cancellation check; then `step` runs between two clock readings. A
    // step returning void is sampled by that wall interval in milliseconds; one returning a double
    // hands in its own sample (in milliseconds). The loop ends once the target has passed at the
    // end of an iteration and minimumSamples were taken; an exception a step throws ends it.
    template <typename Step>
    void run(const TimedLoopRules& rules, Step&& step)
    {
        const double target = std::isnan(rules.targetSeconds) ? 0.0 : rules.targetSeconds;
        double lastMemorySample = -std::numeric_limits<double>::infinity();
        start_ = now();
        for (;;) {
            checkCancellation(cancellation_);
            const double t0 = now();
            double sample = 0;
            if constexpr (std::is_void_v<std::invoke_result_t<Step&>>) {
                step();
            } else {
                sample = step();
            }
            const double t1 = now();
            if constexpr (std::is_void_v<std::invoke_result_t<Step&>>) sample = (t1 - t0) * 1000.0;
            samples_.push_back(sample);
            if (t1 - lastMemorySample >= rules.memorySampleInterval) {
                tracker_.sample();
                lastMemorySample = t1;
            }
            if (t1 - start_ >= target && samples_.size() >= static_cast<std::size_t>(rules.minimumSamples)) break;
        }
        if (!rules.endedByCaller) end_ = now();
    }

    // Ends a phase whose rules leave the end to the caller.
    void stop() { end_ = now(); }

    int count() const { return static_cast<int>(samples_.size()); }
    double seconds() const { return end_ - start_; }
    const std::vector<double>& samples() const { return samples_; }

    // The record of the phase: wall time, one iteration per sample, the samples, the work and the
    // throughput over the wall time, the unit and the memory figures. The caller adds accuracy,
    // checksum and details, and corrects the iteration count where a sample covers several.
    KernelMeasurement measurement(const AIWorkloadDefinition& workload, Date startedAt, double workUnits);

private:
    const BenchmarkCancellationToken& cancellation_;
    PeakMemoryTracker& tracker_;
    MonotonicClock clock_;
    double start_ = 0;
    double end_ = 0;
    std::vector<double> samples_;
};

// The timed figures completed with the verdict: accuracy 1 when valid (else 0), the checksum and
// the details.
KernelMeasurement withVerdict(KernelMeasurement timed, bool valid, double checksum, std::vector<std::string> details);

// Throughput = work / max(wall seconds, 1 µs), the workload's unit and the tracker's figures.
void completeMeasurement(KernelMeasurement& measurement, const AIWorkloadDefinition& workload,
                         PeakMemoryTracker& tracker);

}  // namespace korvalen
