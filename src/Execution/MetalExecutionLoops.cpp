#include "Execution/MetalExecutionLoops.h"

#include "Execution/MetalCommandCompletion.h"
#include "Execution/MetalKernelContext.h"
#include "Execution/MetalRunnerSupport.h"
#include "Model/PeakMemoryTracker.h"

#include <algorithm>
#include <exception>
#include <optional>

namespace korvalen::MetalBenchmarkRunner {

using namespace MetalRunnerSupport;

namespace {

constexpr int warmUpCount = 3;
constexpr int minimumSamples = 5;
constexpr double inFlightDeadlineSeconds = 30.0;

void warmUp(const std::string& name, MetalKernelContext& context, const Invocation& invocation,
            BenchmarkCancellationToken& cancellation)
{
    checkCancellation(cancellation);
    for (int i = 1; i <= warmUpCount; ++i) {
        checkCancellation(cancellation);
        auto buffer = context.queue().makeCommandBuffer();
        if (!buffer) throw AIBenchmarkError::commandFailure("Unable to create warm-up command buffer");
        invocation.encode(*buffer);
        buffer->commit();
        waitForCompletion(*buffer, cancellation,
                          name + " warm-up " + std::to_string(i) + "/" + std::to_string(warmUpCount), std::nullopt, true);
    }
    checkCancellation(cancellation);
}

// What both loops share once timing is over: synchronise, validate, describe, measure.
struct TimedPhase {
    Date startedAt{};
    double start = 0;
    double end = 0;
    int iterations = 0;
    double work = 0;
    std::vector<double> samples;
};

KernelMeasurement finish(const AIWorkloadDefinition& workload, const std::string& name, MetalKernelContext& context,
                         const Invocation& invocation, BenchmarkCancellationToken& cancellation, TimedPhase phase,
                         PeakMemoryTracker& tracker, std::string timingLine)
{
    synchronizeForCPUValidation(invocation.validationResources, context, cancellation, name);
    const bool passed = invocation.validate();

    KernelMeasurement measurement;
    measurement.details = invocation.details;
    measurement.details.push_back("Metal device: " + context.device().name());
    measurement.details.push_back("Three unscored GPU warm-up dispatches completed before timing");
    measurement.details.push_back(std::move(timingLine));
    measurement.details.push_back(
        "Storage path is workload-specific; CPU-visible outputs are retained only for deterministic validation");

    measurement.startedAt = phase.startedAt;
    measurement.wallSeconds = phase.end - phase.start;
    measurement.iterations = phase.iterations;
    measurement.workUnits = phase.work;
    measurement.throughput = phase.work / std::max(measurement.wallSeconds, 1e-6);
    measurement.throughputUnit = workload.throughputUnit;
    measurement.latencySamplesMS = std::move(phase.samples);
    measurement.memory = tracker.finish();
    measurement.accuracy = passed ? 1.0 : 0.0;
    measurement.checksum = invocation.checksum();
    return measurement;
}

}  // namespace

KernelMeasurement execute(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                          const Invocation& invocation, double targetDuration, BenchmarkCancellationToken& cancellation)
{
    const std::string name(rawValue(workload.id));
    warmUp(name, context, invocation, cancellation);

    PeakMemoryTracker tracker;
    TimedPhase phase;
    phase.startedAt = now();
    phase.start = uptimeSeconds();
    checkCancellation(cancellation);

    for (;;) {
        auto buffer = context.queue().makeCommandBuffer();
        if (!buffer) throw AIBenchmarkError::commandFailure("Unable to create command buffer");
        const double t0 = uptimeSeconds();
        invocation.encode(*buffer);
        buffer->commit();
        waitForCompletion(*buffer, cancellation, name + " iteration", std::nullopt, true);
        const double t1 = uptimeSeconds();
        phase.samples.push_back(timedSampleMS(*buffer, t0, t1));
        phase.iterations += 1;
        phase.work += invocation.workPerIteration;
        tracker.sample();
        if (uptimeSeconds() - phase.start >= targetDuration && phase.samples.size() >= minimumSamples) break;
        checkCancellation(cancellation);
    }
    phase.end = uptimeSeconds();

    return finish(workload, name, context, invocation, cancellation, std::move(phase), tracker,
                  "GPU command-buffer timing is used when the driver reports it");
}

KernelMeasurement executePipelined(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                   const Invocation& invocation, double targetDuration,
                                   BenchmarkCancellationToken& cancellation)
{
    const std::string name(rawValue(workload.id));
    warmUp(name, context, invocation, cancellation);

    PeakMemoryTracker tracker;
    TimedPhase phase;
    phase.startedAt = now();
    phase.start = uptimeSeconds();
    checkCancellation(cancellation);

    for (;;) {
        const double t0 = uptimeSeconds();
        const double deadline = t0 + inFlightDeadlineSeconds;
        std::vector<std::shared_ptr<gpu::CommandBuffer>> inFlight;
        std::exception_ptr failure;
        for (int i = 0; i < pipelineBatchSize; ++i) {
            try {
                auto buffer = context.queue().makeCommandBuffer();
                if (!buffer) throw AIBenchmarkError::commandFailure("Unable to create command buffer");
                invocation.encode(*buffer);
                // An encoded buffer is dropped, not committed, once a stop has been asked for.
                checkCancellation(cancellation);
                buffer->commit();
                inFlight.push_back(std::move(buffer));
            } catch (...) {
                failure = std::current_exception();
                break;
            }
        }

        // Every committed buffer is waited for, even after a failure, so that no work of this
        // call is left running on the queue; the first error met wins.
        std::exception_ptr firstError;
        const std::string count = std::to_string(inFlight.size());
        for (std::size_t p = 0; p < inFlight.size(); ++p) {
            try {
                waitForCompletion(*inFlight[p], cancellation, name + " in-flight " + std::to_string(p + 1) + "/" + count,
                                  deadline, false);
            } catch (...) {
                if (!firstError) firstError = std::current_exception();
            }
        }
        if (firstError) std::rethrow_exception(firstError);
        if (failure) std::rethrow_exception(failure);

        checkCancellation(cancellation);
        const double t1 = uptimeSeconds();
        phase.samples.push_back((t1 - t0) * 0.25 * 1000.0);
        phase.iterations += pipelineBatchSize;
        phase.work += invocation.workPerIteration * pipelineBatchSize;
        tracker.sample();
        if (uptimeSeconds() - phase.start >= targetDuration && phase.samples.size() >= minimumSamples) break;
        checkCancellation(cancellation);
    }
    phase.end = uptimeSeconds();

    return finish(workload, name, context, invocation, cancellation, std::move(phase), tracker,
                  std::to_string(pipelineBatchSize) + " command buffers were queued before synchronization");
}

}  // namespace korvalen::MetalBenchmarkRunner
