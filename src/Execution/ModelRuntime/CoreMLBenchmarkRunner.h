#pragma once

#include "Execution/ModelRuntime/CoreMLModelManifest.h"
#include "Model/AIRecords.h"
#include "Model/AIVocabulary.h"
#include "Model/KernelMeasurement.h"
#include "Platform/Foundation/MonotonicClock.h"
#include "Platform/Inference/Model.h"
#include "Platform/Inference/ModelConfiguration.h"
#include "Platform/Inference/MultiArray.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

class BenchmarkCancellationToken;

// Outcome of checking a model output against its manifest entry.
struct CoreMLValidation {
    bool valid = false;
    double actualChecksum = 0;
    double checksumError = 1;
    double l2Error = 1;
};

// Everything one model measurement needs, made fresh for each measurement.
struct CoreMLRunContext {
    CoreMLModelFamily family = CoreMLModelFamily::vision;
    CoreMLModelManifest manifest;
    CoreMLModelEntry entry;
    nn::ModelConfiguration configuration;
    // The name of configuration.preferredDevice, for the details; absent when no device is preferred.
    std::optional<std::string> preferredDeviceName;
    std::filesystem::path modelURL;  // the compiled model folder
};

// What the runners take from the machine. Tests hand in their own resource folder, model loader or
// clock; every empty member means the application's own.
struct CoreMLRunnerEnvironment {
    std::filesystem::path resourceDirectory;  // empty: sys::resourceDirectory()
    std::function<nn::Model(const std::filesystem::path&, const nn::ModelConfiguration&)> loadModel;  // nn::Model::load
    MonotonicClock uptimeSeconds;
};

namespace CoreMLBenchmarkRunner {

// The name of the input feature and of the output feature every shipped model has.
inline constexpr std::string_view inputFeatureName = "input";
inline constexpr std::string_view outputFeatureName = "output";

// Batch sizes of the batch-scaling run, in the order they are measured.
inline constexpr int batchSizes[] = {1, 2, 4, 8, 16};

// --- Context, input and validation ---

// Checks the workload has a model family, loads the manifest, picks the family's entry, sets the
// compute units from the backend (and for `gpu` the preferred device: the given one, else the
// default one when there is any) and finds the compiled model. Throws AIBenchmarkError:
// unsupportedBackend, modelManifestInvalid, metalUnavailable, modelMissing.
CoreMLRunContext makeRunContext(const AIWorkloadDefinition& workload, AIBackend backend,
                                std::optional<std::uint64_t> gpuRegistryID,
                                const CoreMLRunnerEnvironment& environment = {});

// automatic → all, cpu → cpuOnly, gpu → cpuAndGPU, neuralEnginePreferred → cpuAndNeuralEngine.
nn::ComputeUnits computeUnits(AIBackend backend);

// The deterministic model input of an entry: shape [inputSize], element i =
// sin(a·0.013 + i·0.017) + 0.5·cos(b·0.019 + i·0.007) in single precision, a = seed mod 97 and
// b = seed mod 53 with the sign of the seed. Depends only on seed and inputSize.
nn::MultiArray makeInput(const CoreMLModelEntry& entry);

// Element count, checksum and L2 relative errors, leading-sample tolerance and finiteness.
CoreMLValidation validate(const nn::MultiArray& output, const CoreMLModelEntry& entry);
CoreMLValidation validate(std::span<const float> output, const CoreMLModelEntry& entry);

// "CPU Only", "CPU + GPU", "All Available", "CPU + Neural Engine", "Unknown".
std::string_view computeUnitsLabel(nn::ComputeUnits units);

// --- Per-workload post-processing of one output; each gives one number for the checksum ---

// One scored segment of the detection post-processing.
struct Proposal {
    double score = 0;
    double start = 0;
    double end = 0;
};

// Proposals from the first min(count / 2, 64) elements, sorted by score (stable) and suppressed
// above an overlap of 0.45; the sum of the retained scores.
double deterministicNMS(std::span<const float> output);
// The suppression step alone, on proposals in any order.
double suppressedScoreSum(std::vector<Proposal> proposals);
// 64×64 cells, each reading one element, classed at ±0.2 and weighted by ((r + k) mod 11) + 1.
double maskClassProjection(std::span<const float> output);
// Σ (vᵢ / ‖v‖) · ((i mod 7) + 1).
double normalizedEmbeddingSum(std::span<const float> output);
// The best of outputᵢ + 0.001·sin(0.031·i) (earliest on a tie) plus its index.
double tokenSelection(std::span<const float> output);
// value·1000 to the nearest integer, halves away from zero, saturated to 64 bits; no value when
// value·1000 is not finite.
std::optional<std::int64_t> quantizeMilli(double value);
// Low 32 bits of the 64-bit FNV-1a hash of the quantized elements; 0 when one cannot be quantized.
double quantizedOutputHash(std::span<const float> output);
// The workload's post-processing (0 for workloads without one).
double postProcess(AIWorkloadID workload, std::span<const float> output);

// --- Runners ---

// Loads the model once, two warm-up predictions, then predictions with post-processing for at
// least 3 iterations and max(durationScale × baseDuration, 0.35) s; validates the last output.
// Loading and prediction errors propagate; cancellation throws AIBenchmarkError::cancelled().
KernelMeasurement runStandardInference(const AIWorkloadDefinition& workload, AIBackend backend,
                                       const CoreMLRunContext& context, double durationScale,
                                       BenchmarkCancellationToken& cancellation,
                                       const CoreMLRunnerEnvironment& environment = {});

// A fresh load plus one prediction per iteration, at least 2 iterations and max(scale × base,
// 0.4) s. A failed load or prediction is an invalid iteration that still records its time; only
// cancellation throws.
KernelMeasurement runModelLoading(const AIWorkloadDefinition& workload, const std::filesystem::path& modelURL,
                                  const nn::ModelConfiguration& configuration, const CoreMLModelEntry& entry,
                                  double durationScale, BenchmarkCancellationToken& cancellation,
                                  const CoreMLRunnerEnvironment& environment = {});

// Groups of 1, 2, 4, 8 and 16 back-to-back predictions, each repeated batchRepeats(scale) times.
KernelMeasurement runBatchScaling(const AIWorkloadDefinition& workload, const std::filesystem::path& modelURL,
                                  const nn::ModelConfiguration& configuration, const CoreMLModelEntry& entry,
                                  double durationScale, BenchmarkCancellationToken& cancellation,
                                  const CoreMLRunnerEnvironment& environment = {});

// Paired vision and language predictions and the cosine of their outputs, at least 3 pairs and
// max(scale × base, 0.5) s.
KernelMeasurement runMultimodalSimilarity(const AIWorkloadDefinition& workload, AIBackend backend,
                                          const nn::ModelConfiguration& configuration,
                                          const CoreMLModelManifest& manifest, double durationScale,
                                          BenchmarkCancellationToken& cancellation,
                                          const CoreMLRunnerEnvironment& environment = {});

// max(nearest integer to 2 × durationScale, halves away from zero, 1); a scale that is not a
// finite number counts as 0, and the count stops at a million passes.
int batchRepeats(double durationScale);
// Batch-16 throughput over 16 × the batch-1 throughput, in percent; 0 without a positive batch-1
// figure.
double batchScalingEfficiency(const std::map<int, double>& throughputByBatch);

// The whole measurement of a workload with a model family: the run context, then the workload's
// runner. This is what the engine calls for every model-family workload on any backend.
KernelMeasurement measure(const AIWorkloadDefinition& workload, AIBackend backend,
                          std::optional<std::uint64_t> gpuRegistryID, double durationScale,
                          BenchmarkCancellationToken& cancellation, const CoreMLRunnerEnvironment& environment = {});

}  // namespace CoreMLBenchmarkRunner

}  // namespace korvalen
