// The KV-cache read/write and the sustained all-GPU cycle.

#include "Execution/GPU/MetalCommandCompletion.h"
#include "Execution/GPU/MetalDedicatedRunners.h"
#include "Execution/GPU/MetalInvocation.h"
#include "Execution/GPU/MetalKernelContext.h"
#include "Execution/GPU/MetalRunnerSupport.h"
#include "Execution/Shared/OlvaneHalfPrecision.h"
#include "Model/PeakMemoryTracker.h"
#include "Platform/Foundation/NumberFormat.h"
#include "Platform/System/ThermalMonitor.h"

#include <array>
#include <cmath>
#include <numeric>

namespace korvalen::MetalBenchmarkRunner {

using namespace MetalRunnerSupport;

KernelMeasurement runKVCacheReadWrite(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                      double targetDuration, BenchmarkCancellationToken& cancellation)
{
    static constexpr std::uint32_t values = 8'388'608;  // 2 x 4096 positions x 16 heads x 64 features
    static constexpr std::size_t bytes = values * sizeof(std::uint16_t);
    const PrivateBuffers buffers = privateBuffers(context, bytes, bytes, "Unable to allocate KV cache readback buffer");
    const auto& [source, destination, readback] = buffers;
    auto update = context.pipeline("kv_cache_update");
    auto readWrite = context.pipeline("kv_cache_read_write");

    initialize(context, cancellation, "KV cache initialization", "Unable to initialize private KV cache", update,
               source, values);

    const auto encodeReadWrite = [&](gpu::ComputeEncoder& encoder) {
        bindAndDispatch(encoder, readWrite, {source, destination}, values, values);
    };
    constexpr const char* noEncoder = "Unable to create KV cache read/write encoder";
    warmUps(context, cancellation, 3, "KV cache warm-up", "Unable to create KV read/write warm-up", noEncoder,
            encodeReadWrite);

    PeakMemoryTracker tracker;
    const Date startedAt = now();
    TimedLoop loop(cancellation, tracker);
    loop.run({targetDuration, minimumTimedSamples}, [&] {
        return timedCompute(context, cancellation, "KV cache iteration",
                            "Unable to create KV read/write command buffer", noEncoder, encodeReadWrite);
    });

    readBack(context, destination, readback, cancellation, "KV cache readback",
             "Unable to read back KV cache validation");
    bool valid = true;
    for (const std::uint32_t i : {0u, 77'777u, 4'194'304u, 8'388'607u}) {
        const float value = OlvaneHalfPrecision::decode(readback->element<std::uint16_t>(i));
        const float bias = static_cast<float>(static_cast<int>(i & 7u) - 3) * 0.0001f;
        const float cached = static_cast<float>(static_cast<int>(i % 257u) - 128) / 128.0f;
        const float expected = bias + cached * 0.9990234375f;
        if (!(std::fabs(value - expected) < 0.01f)) {
            valid = false;
            break;
        }
    }
    const double checksum = checksumHalfBuffer(*readback, values);

    std::vector<std::string> details{
        "FP16 KV cache: context " + std::to_string(4096) + ", " + std::to_string(16) + " heads × " + std::to_string(64),
        "Source and destination are storageModePrivate",
        "Metric counts one device read + one device write; three warm-ups and readback are outside timing",
        "Metal device: " + context.device().name(),
    };
    // One read and one write of 16 MiB per step.
    return withVerdict(loop.measurement(workload, startedAt, loop.count() * 33'554'432.0 / 1e9), valid, checksum,
                       std::move(details));
}

std::string currentThermalState()
{
    return std::string(sys::ThermalMonitor::currentStateText());
}

double sustainedRetention(std::span<const double> samples)
{
    const std::size_t n = samples.size();
    if (n == 0) return 0.0;
    const std::size_t k = std::max<std::size_t>(n / 3, 1);
    const auto mean = [](std::span<const double> part) {
        return part.empty() ? 0.0 : std::accumulate(part.begin(), part.end(), 0.0) / static_cast<double>(part.size());
    };
    const double first = mean(samples.first(std::min(k, n)));
    const double last = mean(samples.last(std::min(k, n)));
    return last > 0.0 ? first / last * 100.0 : 0.0;
}

KernelMeasurement runMetalSustained(const AIWorkloadDefinition& workload, MetalKernelContext& context,
                                    double targetDuration, BenchmarkCancellationToken& cancellation,
                                    const ThermalStateReader& thermalState)
{
    const std::array<Invocation, 3> stages{llmGEMVFP16(context), attentionPrefill(context),
                                           tensorOperations(context, true)};
    const auto encodeCycle = [&](gpu::CommandBuffer& buffer) {
        for (const Invocation& stage : stages) stage.encode(buffer);
    };

    {
        auto buffer = context.queue().makeCommandBuffer();
        if (!buffer) throw AIBenchmarkError::commandFailure("Unable to create Metal sustained warm-up");
        encodeCycle(*buffer);
        buffer->commit();
        waitForCompletion(*buffer, cancellation, "Metal sustained warm-up", std::nullopt, true);
    }
    checkCancellation(cancellation);

    PeakMemoryTracker tracker;
    const Date startedAt = now();
    std::vector<std::string> thermalStates;
    TimedLoop loop(cancellation, tracker);
    loop.run({targetDuration, 3}, [&] {
        auto buffer = context.queue().makeCommandBuffer();
        if (!buffer) throw AIBenchmarkError::commandFailure("Unable to create Metal sustained command buffer");
        const double t0 = loop.now();
        encodeCycle(*buffer);
        buffer->commit();
        waitForCompletion(*buffer, cancellation, "Metal sustained cycle", std::nullopt, true);
        const double sample = timedSampleMS(*buffer, t0, loop.now());
        // Only changes are kept: a run that stays cool reports one state.
        std::string state = thermalState();
        if (thermalStates.empty() || thermalStates.back() != state) thermalStates.push_back(std::move(state));
        return sample;
    });

    for (std::size_t i = 0; i < stages.size(); ++i) {
        synchronizeForCPUValidation(stages[i].validationResources, context, cancellation,
                                    "Metal sustained invocation " + std::to_string(i + 1));
    }
    const bool valid = stages[0].validate() && stages[1].validate() && stages[2].validate();
    double checksum = 0.0;
    for (const Invocation& stage : stages) checksum += stage.checksum();

    const std::vector<double>& samples = loop.samples();
    const double retention = sustainedRetention(samples);
    double peak = 0.0, minimum = 0.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double rate = 1000.0 / std::max(samples[i], 1e-6);
        peak = i == 0 ? rate : std::max(peak, rate);
        minimum = i == 0 ? rate : std::min(minimum, rate);
    }

    KernelMeasurement m = loop.measurement(workload, startedAt, loop.count());
    const double average = m.throughput;  // cycles per second of the timed phase
    m.accuracy = valid ? 1.0 : 0.0;
    m.checksum = checksum;
    m.retention = retention;
    m.thermalStateSamples = std::move(thermalStates);
    m.details = {
        "Fixed all-Metal cycle: FP16 GEMV → FP16 attention prefill → fused tensor GELU",
        "One full unscored cycle completed before sustained timing",
        "Peak: " + formatFixed(peak, 2) + " cycles/s",
        "Average: " + formatFixed(average, 2) + " cycles/s",
        "Minimum: " + formatFixed(minimum, 2) + " cycles/s",
        "Retention: " + formatFixed(retention, 2) + "%",
        "Metal device: " + context.device().name(),
    };
    return m;
}

}  // namespace korvalen::MetalBenchmarkRunner
