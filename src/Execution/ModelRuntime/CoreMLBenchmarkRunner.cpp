#include "Execution/ModelRuntime/CoreMLBenchmarkRunner.h"

#include "Model/AIBenchmarkError.h"
#include "Model/SystemProfiler.h"
#include "Platform/Inference/CompiledModel.h"
#include "Platform/System/Resources.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvalen::CoreMLBenchmarkRunner {

namespace {

std::filesystem::path resourceFolder(const CoreMLRunnerEnvironment& environment)
{
    return environment.resourceDirectory.empty() ? sys::resourceDirectory() : environment.resourceDirectory;
}

}  // namespace

nn::ComputeUnits computeUnits(AIBackend backend)
{
    switch (backend) {
    case AIBackend::automatic: return nn::ComputeUnits::all;
    case AIBackend::cpu: return nn::ComputeUnits::cpuOnly;
    case AIBackend::gpu: return nn::ComputeUnits::cpuAndGPU;
    case AIBackend::neuralEnginePreferred: return nn::ComputeUnits::cpuAndNeuralEngine;
    }
    return nn::ComputeUnits::all;
}

CoreMLRunContext makeRunContext(const AIWorkloadDefinition& workload, AIBackend backend,
                                std::optional<std::uint64_t> gpuRegistryID, const CoreMLRunnerEnvironment& environment)
{
    if (!workload.modelFamily) {
        throw AIBenchmarkError::unsupportedBackend("No Core ML graph is assigned to " + workload.title);
    }
    const auto resources = resourceFolder(environment);
    CoreMLRunContext context;
    context.family = *workload.modelFamily;
    context.manifest = loadManifest(resources);
    const std::string resource(rawValue(context.family));
    const auto entry = std::find_if(context.manifest.models.begin(), context.manifest.models.end(),
                                    [&](const CoreMLModelEntry& e) { return e.resource == resource; });
    if (entry == context.manifest.models.end()) {
        throw AIBenchmarkError::modelManifestInvalid("No entry for " + resource);
    }
    context.entry = *entry;

    context.configuration.computeUnits = computeUnits(backend);
    if (backend == AIBackend::gpu) {
        const auto device = SystemProfiler::metalDevice(gpuRegistryID);
        if (device) {
            context.configuration.preferredDevice = device->registryID;
            context.preferredDeviceName = device->name;
        } else if (gpuRegistryID) {
            throw AIBenchmarkError::metalUnavailable();
        }
    }

    const auto folder = sys::resourcePath(resources, resource, nn::compiledModelExtension);
    if (!folder) {
        throw AIBenchmarkError::modelMissing(resource);
    }
    context.modelURL = *folder;
    return context;
}

nn::MultiArray makeInput(const CoreMLModelEntry& entry)
{
    // A size below 1 (which the manifest rules already refuse) makes the allocation itself fail.
    nn::MultiArray input({entry.inputSize < 1 ? std::size_t(0) : std::size_t(entry.inputSize)});
    // C++ remainder takes the sign of the dividend, as the input's definition requires.
    const float a = float(entry.seed % 97);
    const float b = float(entry.seed % 53);
    const float phaseA = a * 0.013f;
    const float phaseB = b * 0.019f;
    auto values = input.values();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float index = float(i);
        values[i] = std::sin(phaseA + index * 0.017f) + 0.5f * std::cos(phaseB + index * 0.007f);
    }
    return input;
}

CoreMLValidation validate(std::span<const float> output, const CoreMLModelEntry& entry)
{
    const std::size_t count = output.size();
    if (std::int64_t(count) != entry.outputSize) {
        return {false, 0, 1, 1};
    }
    double sum = 0;
    double squares = 0;
    bool allFinite = true;
    for (std::size_t i = 0; i < count; ++i) {
        const double value = output[i];
        sum += value;
        squares += value * value;
        allFinite = allFinite && std::isfinite(value);
    }
    const double checksumError = std::abs(sum - entry.checksum) / std::max(std::abs(entry.checksum), 1e-6);
    const double l2Error = std::abs(std::sqrt(squares) - entry.l2Norm) / std::max(std::abs(entry.l2Norm), 1e-6);
    bool samplesMatch = true;
    for (std::size_t i = 0; i < entry.sample.size() && i < count; ++i) {
        const double reference = entry.sample[i];
        // Written so that a NaN fails the test.
        if (!(std::abs(double(output[i]) - reference) / std::max(std::abs(reference), 0.05) < 0.12)) {
            samplesMatch = false;
        }
    }
    const bool valid = allFinite && checksumError < 0.1 && l2Error < 0.08 && samplesMatch;
    return {valid, sum, checksumError, l2Error};
}

CoreMLValidation validate(const nn::MultiArray& output, const CoreMLModelEntry& entry)
{
    return validate(output.values(), entry);
}

std::string_view computeUnitsLabel(nn::ComputeUnits units)
{
    switch (units) {
    case nn::ComputeUnits::cpuOnly: return "CPU Only";
    case nn::ComputeUnits::cpuAndGPU: return "CPU + GPU";
    case nn::ComputeUnits::all: return "All Available";
    case nn::ComputeUnits::cpuAndNeuralEngine: return "CPU + Neural Engine";
    }
    return "Unknown";
}

double suppressedScoreSum(std::vector<Proposal> proposals)
{
    std::stable_sort(proposals.begin(), proposals.end(),
                     [](const Proposal& a, const Proposal& b) { return a.score > b.score; });
    std::vector<Proposal> retained;
    double sum = 0;
    for (const Proposal& candidate : proposals) {
        const bool suppressed = std::any_of(retained.begin(), retained.end(), [&](const Proposal& kept) {
            const double intersection =
                std::max(0.0, std::min(kept.end, candidate.end) - std::max(kept.start, candidate.start));
            const double unionLength = std::max(kept.end, candidate.end) - std::min(kept.start, candidate.start);
            return unionLength > 0 && intersection / unionLength > 0.45;
        });
        if (!suppressed) {
            retained.push_back(candidate);
            sum += candidate.score;
        }
    }
    return sum;
}

double deterministicNMS(std::span<const float> output)
{
    const std::size_t n = std::min<std::size_t>(output.size() / 2, 64);
    std::vector<Proposal> proposals;
    proposals.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = output[i];
        Proposal proposal;
        proposal.score = 1.0 / (1.0 + std::exp(-x));
        proposal.start = double(i) / double(n);
        proposal.end = std::min(proposal.start + 0.08 + std::fmod(std::abs(x), 0.12), 1.0);
        proposals.push_back(proposal);
    }
    return suppressedScoreSum(std::move(proposals));
}

double maskClassProjection(std::span<const float> output)
{
    const std::size_t count = output.size();
    if (count == 0) {
        return 0;
    }
    double sum = 0;
    for (std::size_t r = 0; r < 64; ++r) {
        for (std::size_t k = 0; k < 64; ++k) {
            const double v = output[(7 * r + 13 * k) % count];
            const int cellClass = v > 0.2 ? 2 : (v > -0.2 ? 1 : 0);
            sum += double(cellClass) * double(((r + k) % 11) + 1);
        }
    }
    return sum;
}

double normalizedEmbeddingSum(std::span<const float> output)
{
    double squares = 0;
    for (float value : output) {
        squares += double(value) * double(value);
    }
    const double norm = std::sqrt(std::max(squares, std::numeric_limits<double>::denorm_min()));
    double sum = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        sum += (double(output[i]) / norm) * double((i % 7) + 1);
    }
    return sum;
}

double tokenSelection(std::span<const float> output)
{
    double best = -std::numeric_limits<double>::max();
    std::size_t bestIndex = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const double v = double(output[i]) + 0.001 * std::sin(0.031 * double(i));
        if (v > best) {
            best = v;
            bestIndex = i;
        }
    }
    return best + double(bestIndex);
}

std::optional<std::int64_t> quantizeMilli(double value)
{
    const double scaled = value * 1000.0;
    if (!std::isfinite(scaled)) {
        return std::nullopt;
    }
    const double rounded = std::round(scaled);  // halves away from zero
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (rounded >= 9223372036854775808.0) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (rounded <= -9223372036854775808.0) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return std::int64_t(rounded);
}

double quantizedOutputHash(std::span<const float> output)
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (float value : output) {
        const auto quantized = quantizeMilli(double(value));
        if (!quantized) {
            return 0;
        }
        hash = (hash ^ std::uint64_t(*quantized)) * 0x100000001b3ull;
    }
    return double(hash & 0xffffffffull);
}

double postProcess(AIWorkloadID workload, std::span<const float> output)
{
    switch (workload) {
    case AIWorkloadID::objectDetection: return deterministicNMS(output);
    case AIWorkloadID::semanticSegmentation: return maskClassProjection(output);
    case AIWorkloadID::textEmbeddings: return normalizedEmbeddingSum(output);
    case AIWorkloadID::llmTokenGeneration: return tokenSelection(output);
    case AIWorkloadID::speechRecognition: return quantizedOutputHash(output);
    default: return 0;
    }
}

int batchRepeats(double durationScale)
{
    const double scaled = std::isfinite(durationScale) ? std::round(2.0 * durationScale) : 0.0;
    return int(std::clamp(scaled, 1.0, 1'000'000.0));
}

double batchScalingEfficiency(const std::map<int, double>& throughputByBatch)
{
    const auto single = throughputByBatch.find(1);
    if (single == throughputByBatch.end() || !(single->second > 0)) {
        return 0;
    }
    const auto sixteen = throughputByBatch.find(16);
    const double batched = sixteen == throughputByBatch.end() ? 0.0 : sixteen->second;
    return batched / (single->second * 16.0) * 100.0;
}

KernelMeasurement measure(const AIWorkloadDefinition& workload, AIBackend backend,
                          std::optional<std::uint64_t> gpuRegistryID, double durationScale,
                          BenchmarkCancellationToken& cancellation, const CoreMLRunnerEnvironment& environment)
{
    const CoreMLRunContext context = makeRunContext(workload, backend, gpuRegistryID, environment);
    switch (workload.id) {
    case AIWorkloadID::multimodalSimilarity:
        return runMultimodalSimilarity(workload, backend, context.configuration, context.manifest, durationScale,
                                       cancellation, environment);
    case AIWorkloadID::modelLoading:
        return runModelLoading(workload, context.modelURL, context.configuration, context.entry, durationScale,
                               cancellation, environment);
    case AIWorkloadID::batchScaling:
        return runBatchScaling(workload, context.modelURL, context.configuration, context.entry, durationScale,
                               cancellation, environment);
    default: return runStandardInference(workload, backend, context, durationScale, cancellation, environment);
    }
}

}  // namespace korvalen::CoreMLBenchmarkRunner
