#include "Execution/CPU/CPUBenchmarkRunner.h"

#include "Execution/CPU/AllocatorPolicy.h"
#include "Execution/CPU/CPUKernels.h"
#include "Execution/Shared/TimedLoop.h"
#include "Model/AIBenchmarkError.h"
#include "Model/BenchmarkCancellationToken.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/Inference/BlasThreading.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace korvalen {

namespace {

constexpr int minimumTimedIterations = 3;
// A resident-size reading is a system call of about a microsecond: after every iteration it would
// cost several percent of the shortest kernels. Iterations free their buffers before the reading
// anyway, so reading at most once a millisecond (and always after the first iteration, and once
// more at the end) sees the same peak.
constexpr double memorySampleInterval = 0.001;

}  // namespace

double CPUBenchmarkRunner::targetDuration(const AIWorkloadDefinition& workload, double durationScale)
{
    return safeTargetSeconds(durationScale, workload.baseDuration);
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
                                               const BenchmarkCancellationToken& cancellation,
                                               const Iteration& operation)
{
    nn::BlasThreading::applyPolicy();
    AllocatorPolicy::apply();
    // Large products leave OpenBLAS's pool spinning: stopped once the workload ends, however it
    // ends, so the next workload gets its cores.
    struct PoolRelease {
        ~PoolRelease() { nn::BlasThreading::releasePool(); }
    } poolRelease;

    checkCancellation(cancellation);
    (void)operation();  // warm-up: caches, page tables and lazily built tables, never scored
    checkCancellation(cancellation);

    PeakMemoryTracker tracker;
    const Date startedAt = now();
    int passedCount = 0;
    double workUnits = 0;
    double checksum = 0;
    std::vector<std::string> details;
    TimedLoop loop(cancellation, tracker);
    loop.run({targetDuration, minimumTimedIterations, memorySampleInterval}, [&] {
        IterationOutcome outcome = operation();
        if (outcome.passed) ++passedCount;
        workUnits += outcome.workUnits;
        checksum += outcome.checksum;
        if (details.empty()) details = std::move(outcome.details);
    });

    const double accuracy = static_cast<double>(passedCount) / loop.count();
    details.emplace_back("CPU path: Accelerate and deterministic native kernels");
    details.emplace_back("One unscored warm-up iteration completed before timing");
    details.push_back("Iterations: " + std::to_string(loop.count()) +
                      "; validation pass rate: " + formatFixed(accuracy * 100.0, 2) + "%");

    KernelMeasurement measurement = loop.measurement(workload, startedAt, workUnits);
    measurement.accuracy = accuracy;
    measurement.checksum = checksum;
    measurement.details = std::move(details);
    return measurement;
}

}  // namespace korvalen
