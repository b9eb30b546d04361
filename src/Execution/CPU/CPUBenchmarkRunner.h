#pragma once

#include "Execution/Shared/DeterministicInputs.h"
#include "Model/AIRecords.h"
#include "Model/KernelMeasurement.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korvalen {

class BenchmarkCancellationToken;

// Measures one workload on the processor. Stateless: every measurement builds its own buffers from
// the deterministic generator, runs on the caller's thread (thread scaling fans out to its own
// worker pools and waits for them) and either returns a complete measurement or throws
// AIBenchmarkError; cancellation is polled between units of work and ends in `cancelled`.
struct CPUBenchmarkRunner {
    // The engine's entry point: picks the workload's CPU measurement. Timed kernels run for
    // targetDuration(workload, durationScale), thread scaling takes the scale itself and the memory
    // ladder no duration. A workload without a CPU measurement fails with `unsupportedBackend`
    // before any work.
    static KernelMeasurement run(const AIWorkloadDefinition& workload, double durationScale,
                                 const BenchmarkCancellationToken& cancellation);

    // max(durationScale x baseDuration, 0.35) seconds.
    static double targetDuration(const AIWorkloadDefinition& workload, double durationScale);

    // Whether `run` has a CPU measurement for the workload.
    static bool supports(AIWorkloadID workload);

    // The timed kernel loop with the workload's own kernel: one unscored warm-up iteration, then
    // timed iterations until `targetDuration` seconds have passed and at least three have run. The
    // engine passes the target it computed; tests pass 0 to get exactly three timed iterations.
    // Fails with `unsupportedBackend` for a workload that has no timed kernel.
    static KernelMeasurement runTimed(const AIWorkloadDefinition& workload, double targetDuration,
                                      const BenchmarkCancellationToken& cancellation);

    // The same loop around any kernel; an error the kernel throws ends the measurement with it.
    using Iteration = std::function<IterationOutcome()>;
    static KernelMeasurement runTimed(const AIWorkloadDefinition& workload, double targetDuration,
                                      const BenchmarkCancellationToken& cancellation, const Iteration& operation);

    // ---- Thread scaling: one triad over two 2,000,000-float inputs, split among 1, 2, 4, ...
    // workers; the best worker count's bandwidth in GB/s is the result.

    static constexpr std::int64_t threadScalingElements = 2'000'000;

    struct ThreadScalingOptions {
        // Worker counts to measure instead of the machine's own candidates (tests).
        std::optional<std::vector<int>> candidates;
        // Called on the measuring thread after each pass of the warm-up (warmUp true) and after
        // each measured candidate (warmUp false), before the next cancellation check.
        std::function<void(int workers, bool warmUp)> observer;
    };

    static KernelMeasurement runThreadScaling(const AIWorkloadDefinition& workload, double durationScale,
                                              const BenchmarkCancellationToken& cancellation,
                                              const ThreadScalingOptions& options = {});

    // {1, 2, 4, P/2 (1 when P <= 1), P, A} without duplicates, above A removed, ascending; P is the
    // physical core count (1 when unknown or 0), A the processors this process may run on (>= 1).
    static std::vector<int> threadScalingCandidates(std::optional<std::uint64_t> physicalCores, int activeProcessors);
    // The machine's own candidates.
    static std::vector<int> threadScalingCandidates();
    // Full passes over the buffer per candidate: 2 x durationScale rounded half away from zero,
    // at least 1.
    static int threadScalingPasses(double durationScale);

    struct Range {
        std::int64_t begin = 0;
        std::int64_t end = 0;
        bool operator==(const Range&) const = default;
    };
    // The slice [w x count / workers, (w + 1) x count / workers) of worker w.
    static Range workerRange(int worker, int workers, std::int64_t count);

    // The element-wise kernel every worker runs over its slice: c = max(a x 0.125 + a x b, 0), with
    // anything that is not >= 0 (NaN included) written as 0.
    static void threadScalingTriad(const float* a, const float* b, float* c, std::int64_t begin, std::int64_t end);

    // ---- Memory pressure: anonymous regions of growing size mapped, written, read and released.

    struct MemoryPressureLadder {
        int ceilingMiB = 64;
        std::vector<int> stepsMiB;
        bool operator==(const MemoryPressureLadder&) const = default;
    };

    struct MemoryPressureOptions {
        // Physical memory to size the ladder for instead of the machine's own (tests).
        std::optional<std::uint64_t> physicalMemoryBytes;
        // Called after each step has been measured, while its region is still mapped (tests).
        std::function<void(int stepMiB, const void* region, std::size_t bytes)> observer;
    };

    static KernelMeasurement runMemoryPressure(const AIWorkloadDefinition& workload,
                                               const BenchmarkCancellationToken& cancellation,
                                               const MemoryPressureOptions& options = {});

    // Ceiling: one eighth of physical memory in MiB capped at 512, or 64 below 512 MiB of physical
    // memory; steps 64, 128, 256, 512 up to the ceiling (64 always).
    static MemoryPressureLadder memoryPressureLadder(std::uint64_t physicalMemoryBytes);
    // Total physical memory of the machine in bytes; 0 when unknown.
    static std::uint64_t physicalMemoryBytes();
};

}  // namespace korvalen
