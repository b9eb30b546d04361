#include "Execution/GPU/MetalExecutionLoops.h"

#include "Execution/GPU/MetalCommandCompletion.h"
#include "Execution/GPU/MetalKernelContext.h"
#include "Execution/GPU/MetalRunnerSupport.h"
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
                          name + " warm-up " + std::to_string(i) + "/" + std::to_string(warmUpCount), std::nullopt,
                          true);
    }
    checkCancellation(cancellation);
}

// Commits up to a batch of encoded buffers and waits for every one committed, even after a failure,
// so that no work of this call is left running on the queue; the first error met wins.
void runBatch(const std::string& name, MetalKernelContext& context, const Invocation& invocation,
              BenchmarkCancellationToken& cancellation, double deadline)
{
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

    if (!inFlight.empty()) awaitSettled(*inFlight.back(), deadline);
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
}

// What both loops share: the warm-ups; `step` until the target and the minimum count are met, each
// sample covering `buffersPerSample` command buffers; then synchronisation of the outputs for the
// CPU, validation and checksum outside the timed phase.
template <typename Step>
KernelMeasurement measureInvocation(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                    const Invocation& invocation, double targetDuration,
                                    BenchmarkCancellationToken& cancellation, int buffersPerSample,
                                    std::string timingLine, const Step& step)
{
    const std::string name(rawValue(workload.id));
    warmUp(name, context, invocation, cancellation);

    PeakMemoryTracker tracker;
    const Date startedAt = now();
    double work = 0;
    TimedLoop loop(cancellation, tracker);
    loop.run({targetDuration, minimumSamples}, [&] {
        const double sample = step(name, loop);
        work += invocation.workPerIteration * buffersPerSample;
        return sample;
    });

    synchronizeForCPUValidation(invocation.validationResources, context, cancellation, name);
    const bool passed = invocation.validate();
    KernelMeasurement measurement = loop.measurement(workload, startedAt, work);
    measurement.iterations = loop.count() * buffersPerSample;
    std::vector<std::string> details = invocation.details;
    details.push_back("Metal device: " + context.device().name());
    details.push_back("Three unscored GPU warm-up dispatches completed before timing");
    details.push_back(std::move(timingLine));
    details.push_back(
        "Storage path is workload-specific; CPU-visible outputs are retained only for deterministic validation");
    return withVerdict(std::move(measurement), passed, invocation.checksum(), std::move(details));
}

}  // namespace

KernelMeasurement execute(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                          const Invocation& invocation, double targetDuration, BenchmarkCancellationToken& cancellation)
{
    const auto step = [&](const std::string& name, TimedLoop& loop) {
        auto buffer = context.queue().makeCommandBuffer();
        if (!buffer) throw AIBenchmarkError::commandFailure("Unable to create command buffer");
        const double t0 = loop.now();
        invocation.encode(*buffer);
        buffer->commit();
        waitForCompletion(*buffer, cancellation, name + " iteration", std::nullopt, true);
        return timedSampleMS(*buffer, t0, loop.now());
    };
    return measureInvocation(workload, context, invocation, targetDuration, cancellation, 1,
                             "GPU command-buffer timing is used when the driver reports it", step);
}

KernelMeasurement executePipelined(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                   const Invocation& invocation, double targetDuration,
                                   BenchmarkCancellationToken& cancellation)
{
    const auto step = [&](const std::string& name, TimedLoop& loop) {
        const double t0 = loop.now();
        runBatch(name, context, invocation, cancellation, t0 + inFlightDeadlineSeconds);
        checkCancellation(cancellation);
        // A sample is the batch's wall time shared among its command buffers.
        return (loop.now() - t0) * 0.25 * 1000.0;
    };
    return measureInvocation(workload, context, invocation, targetDuration, cancellation, pipelineBatchSize,
                             std::to_string(pipelineBatchSize) + " command buffers were queued before synchronization",
                             step);
}

}  // namespace korvalen::MetalBenchmarkRunner
