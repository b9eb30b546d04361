#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvalen {

// Every enumeration's raw value is its stored and displayed text: it is part of the history file.

enum class AIRunMode { quick, complete, extended, stress };
enum class AIBackend { automatic, cpu, gpu, neuralEnginePreferred };
enum class AIScoreRole { universal, platform, universalAndPlatform, comparison, requested };
enum class AIPrecision { fp32, fp16, int8, mixed };
enum class AICategory { vision, language, generative, audio, compute, training, memory, sustained };
enum class CoreMLModelFamily { vision, language, audio };

enum class AIWorkloadID {
    imageClassification,
    objectDetection,
    semanticSegmentation,
    superResolution,
    multimodalSimilarity,
    textTokenization,
    textEmbeddings,
    ropeRMSNorm,
    transformerAttention,
    llmPromptProcessing,
    llmTokenGeneration,
    diffusionDenoise,
    melSpectrogram,
    speechRecognition,
    noiseSuppression,
    audioClassification,
    matrixFP32,
    matrixFP16,
    matrixINT8,
    convolution,
    softmaxLayerNorm,
    tensorOperations,
    threadScaling,
    gpuCommandThroughput,
    metalMemoryBandwidth,
    metalCacheLadder,
    llmGEMVFP16,
    llmQ4,
    attentionPrefill,
    attentionDecode,
    kvCacheReadWrite,
    metalSustained,
    gpuTransfer,
    fineTuningStep,
    modelLoading,
    tensorAllocation,
    memoryPressure,
    kvCache,
    batchScaling,
    mixedSustained,
};

inline constexpr std::array<AIRunMode, 4> allRunModes{AIRunMode::quick, AIRunMode::complete, AIRunMode::extended,
                                                      AIRunMode::stress};
inline constexpr std::array<AIBackend, 4> allBackends{AIBackend::automatic, AIBackend::cpu, AIBackend::gpu,
                                                      AIBackend::neuralEnginePreferred};
inline constexpr std::array<AIScoreRole, 5> allScoreRoles{AIScoreRole::universal, AIScoreRole::platform,
                                                          AIScoreRole::universalAndPlatform, AIScoreRole::comparison,
                                                          AIScoreRole::requested};
inline constexpr std::array<AIPrecision, 4> allPrecisions{AIPrecision::fp32, AIPrecision::fp16, AIPrecision::int8,
                                                          AIPrecision::mixed};
inline constexpr std::array<AICategory, 8> allCategories{
    AICategory::vision,  AICategory::language, AICategory::generative, AICategory::audio,
    AICategory::compute, AICategory::training, AICategory::memory,     AICategory::sustained};
inline constexpr std::array<CoreMLModelFamily, 3> allModelFamilies{
    CoreMLModelFamily::vision, CoreMLModelFamily::language, CoreMLModelFamily::audio};
inline constexpr int workloadCount = 40;
std::array<AIWorkloadID, workloadCount> allWorkloadIDs();

std::string_view rawValue(AIRunMode);
std::string_view rawValue(AIBackend);
std::string_view rawValue(AIScoreRole);
std::string_view rawValue(AIPrecision);
std::string_view rawValue(AICategory);
std::string_view rawValue(CoreMLModelFamily);
std::string_view rawValue(AIWorkloadID);

// Exact, case-sensitive match of the whole raw value; anything else gives no value.
template <typename E>
std::optional<E> fromRaw(std::string_view raw);
template <>
std::optional<AIRunMode> fromRaw<AIRunMode>(std::string_view);
template <>
std::optional<AIBackend> fromRaw<AIBackend>(std::string_view);
template <>
std::optional<AIScoreRole> fromRaw<AIScoreRole>(std::string_view);
template <>
std::optional<AIPrecision> fromRaw<AIPrecision>(std::string_view);
template <>
std::optional<AICategory> fromRaw<AICategory>(std::string_view);
template <>
std::optional<CoreMLModelFamily> fromRaw<CoreMLModelFamily>(std::string_view);
template <>
std::optional<AIWorkloadID> fromRaw<AIWorkloadID>(std::string_view);

// The backend's stored form also accepts the older "Best Available" for `automatic`.
std::optional<AIBackend> decodeBackend(std::string_view raw);

// The case among `cases` whose raw value is `raw`: the fromRaw of every enumeration with a raw value.
template <typename E, std::size_t N>
std::optional<E> matchRaw(const std::array<E, N>& cases, std::string_view raw)
{
    for (E value : cases) {
        if (rawValue(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

// Ordered workload list of a run mode.
std::vector<AIWorkloadID> workloadIDs(AIRunMode mode);

// sRGB components in 0...1.
struct AIColor {
    double red, green, blue, opacity;
    bool operator==(const AIColor&) const = default;
};
AIColor color(AICategory category);

struct AIWorkloadDefinition;
const AIWorkloadDefinition& definition(AIWorkloadID id);

// State of a run as the store publishes it; never stored.
struct AIRunState {
    struct Running {
        AIWorkloadID workload;
        AIBackend backend;
        int index;  // 1-based position in the plan
        int count;  // plan size
        bool operator==(const Running&) const = default;
    };
    struct Failed {
        std::string message;
        bool operator==(const Failed&) const = default;
    };
    struct Idle {
        bool operator==(const Idle&) const = default;
    };
    struct Preparing {
        bool operator==(const Preparing&) const = default;
    };
    struct Stopping {
        bool operator==(const Stopping&) const = default;
    };
    struct Completed {
        bool operator==(const Completed&) const = default;
    };

    std::variant<Running, Failed, Idle, Preparing, Stopping, Completed> value{Idle{}};

    static AIRunState running(AIWorkloadID w, AIBackend b, int index, int count)
    {
        return {Running{w, b, index, count}};
    }
    static AIRunState failed(std::string message) { return {Failed{std::move(message)}}; }
    static AIRunState idle() { return {Idle{}}; }
    static AIRunState preparing() { return {Preparing{}}; }
    static AIRunState stopping() { return {Stopping{}}; }
    static AIRunState completed() { return {Completed{}}; }

    bool isBusy() const
    {
        return std::holds_alternative<Running>(value) || std::holds_alternative<Preparing>(value) ||
               std::holds_alternative<Stopping>(value);
    }
    bool operator==(const AIRunState&) const = default;
};

}  // namespace korvalen
