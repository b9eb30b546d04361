#include "Execution/CPUBenchmarkRunner.h"

#include "Execution/CPUKernels.h"
#include "Execution/CPURunnerSupport.h"
#include "Model/AIBenchmarkError.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/Inference/BlasThreading.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace korvalen {

using cpurunner::checkCancellation;
using cpurunner::uptimeSeconds;

namespace {

constexpr double minimumTargetSeconds = 0.35;
constexpr int minimumTimedIterations = 3;
// A resident-size reading is a system call of about a microsecond: after every iteration it would
// cost several percent of the shortest kernels. Iterations free their buffers before the reading
// anyway, so reading at most once a millisecond (and always after the first iteration, and once
// more at the end) sees the same peak.
constexpr double memorySampleInterval = 0.001;

}  // namespace

double CPUBenchmarkRunner::targetDuration(const AIWorkloadDefinition& workload, double durationScale)
{
    const double scaled = durationScale * workload.baseDuration;
    // A scale that is not a number would otherwise give a target no elapsed time ever reaches.
    if (std::isnan(scaled)) return minimumTargetSeconds;
    return std::max(scaled, minimumTargetSeconds);
}

bool CPUBenchmarkRunner::supports(AIWorkloadID workload)
{
    return cpuKernelIteration(workload) != nullptr || workload == AIWorkloadID::threadScaling ||
           workload == AIWorkloadID::memoryPressure;
}

KernelMeasurement CPUBenchmarkRunner::run(const AIWorkloadDefinition& workload, double durationScale,
                                          const BenchmarkCancellationToken& cancellation)
{
    switch (workload.id) {
    case AIWorkloadID::threadScaling: return runThreadScaling(workload, durationScale, cancellation);
    case AIWorkloadID::memoryPressure: return runMemoryPressure(workload, cancellation);
    default: return runTimed(workload, targetDuration(workload, durationScale), cancellation);
    }
}

KernelMeasurement CPUBenchmarkRunner::runTimed(const AIWorkloadDefinition& workload, double targetDuration,
                                               const BenchmarkCancellationToken& cancellation)
{
    const CPUKernelIteration kernel = cpuKernelIteration(workload.id);
    if (!kernel) throw AIBenchmarkError::unsupportedBackend(workload.title + " uses the Core ML runner on CPU.");
    return runTimed(workload, targetDuration, cancellation, [kernel] { return kernel(nullptr); });
}

KernelMeasurement CPUBenchmarkRunner::runTimed(const AIWorkloadDefinition& workload, double targetDuration,
                                               const BenchmarkCancellationToken& cancellation, const Iteration& operation)
{
    nn::BlasThreading::applyPolicy();
    // A target that is not a number would never be reached; it gets the minimum count instead.
    if (std::isnan(targetDuration)) targetDuration = 0;

    checkCancellation(cancellation);
    (void)operation();  // warm-up: caches, page tables and lazily built tables, never scored
    checkCancellation(cancellation);

    PeakMemoryTracker tracker;
    KernelMeasurement measurement;
    measurement.startedAt = now();
    const double start = uptimeSeconds();

    int iterations = 0;
    int passedCount = 0;
    double workUnits = 0;
    double checksum = 0;
    std::vector<double> latencies;
    latencies.reserve(1024);
    std::vector<std::string> details;
    double lastSample = -memorySampleInterval;

    for (;;) {
        checkCancellation(cancellation);
        const double t0 = uptimeSeconds();
        IterationOutcome outcome = operation();
        const double t1 = uptimeSeconds();
        latencies.push_back((t1 - t0) * 1000.0);

        if (outcome.passed) ++passedCount;
        ++iterations;
        workUnits += outcome.workUnits;
        checksum += outcome.checksum;
        if (details.empty()) details = std::move(outcome.details);

        if (t1 - lastSample >= memorySampleInterval) {
            tracker.sample();
            lastSample = t1;
        }
        const double elapsed = uptimeSeconds() - start;
        if (elapsed >= targetDuration && iterations >= minimumTimedIterations) break;
    }

    const double end = uptimeSeconds();
    const double wallSeconds = end - start;
    const double accuracy = static_cast<double>(passedCount) / iterations;

    details.emplace_back("CPU path: Accelerate and deterministic native kernels");
    details.emplace_back("One unscored warm-up iteration completed before timing");
    details.push_back("Iterations: " + std::to_string(iterations) + "; validation pass rate: " +
                      formatFixed(accuracy * 100.0, 2) + "%");

    measurement.wallSeconds = wallSeconds;
    measurement.iterations = iterations;
    measurement.workUnits = workUnits;
    measurement.throughput = workUnits / std::max(wallSeconds, 1e-6);
    measurement.throughputUnit = workload.throughputUnit;
    measurement.latencySamplesMS = std::move(latencies);
    measurement.memory = tracker.finish();
    measurement.accuracy = accuracy;
    measurement.checksum = checksum;
    measurement.details = std::move(details);
    return measurement;
}

}  // namespace korvalen
