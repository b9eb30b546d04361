#include "Model/AIVocabulary.h"

#include "Model/AIWorkloadCatalog.h"

#include <algorithm>

namespace korvalen {

std::array<AIWorkloadID, workloadCount> allWorkloadIDs()
{
    std::array<AIWorkloadID, workloadCount> ids{};
    for (int i = 0; i < workloadCount; ++i) {
        ids[static_cast<std::size_t>(i)] = static_cast<AIWorkloadID>(i);
    }
    return ids;
}

std::string_view rawValue(AIRunMode mode)
{
    switch (mode) {
    case AIRunMode::quick: return "Quick AI";
    case AIRunMode::complete: return "Complete AI";
    case AIRunMode::extended: return "Extended AI";
    case AIRunMode::stress: return "AI Stress";
    }
    return {};
}

std::string_view rawValue(AIBackend backend)
{
    switch (backend) {
    case AIBackend::automatic: return "Best Available (Calibrated)";
    case AIBackend::cpu: return "CPU";
    case AIBackend::gpu: return "GPU";
    case AIBackend::neuralEnginePreferred: return "Neural Engine Preferred";
    }
    return {};
}

std::string_view rawValue(AIScoreRole role)
{
    switch (role) {
    case AIScoreRole::universal: return "universal";
    case AIScoreRole::platform: return "platform";
    case AIScoreRole::universalAndPlatform: return "universalAndPlatform";
    case AIScoreRole::comparison: return "comparison";
    case AIScoreRole::requested: return "requested";
    }
    return {};
}

std::string_view rawValue(AIPrecision precision)
{
    switch (precision) {
    case AIPrecision::fp32: return "FP32";
    case AIPrecision::fp16: return "FP16";
    case AIPrecision::int8: return "INT8";
    case AIPrecision::mixed: return "Mixed";
    }
    return {};
}

std::string_view rawValue(AICategory category)
{
    switch (category) {
    case AICategory::vision: return "Vision AI";
    case AICategory::language: return "Language AI";
    case AICategory::generative: return "Generative AI";
    case AICategory::audio: return "Audio AI";
    case AICategory::compute: return "AI Compute";
    case AICategory::training: return "AI Training";
    case AICategory::memory: return "AI Memory";
    case AICategory::sustained: return "Sustained AI";
    }
    return {};
}

std::string_view rawValue(CoreMLModelFamily family)
{
    switch (family) {
    case CoreMLModelFamily::vision: return "OlvaneVisionNet";
    case CoreMLModelFamily::language: return "OlvaneLanguageNet";
    case CoreMLModelFamily::audio: return "OlvaneAudioNet";
    }
    return {};
}

std::string_view rawValue(AIWorkloadID id)
{
    switch (id) {
    case AIWorkloadID::imageClassification: return "imageClassification";
    case AIWorkloadID::objectDetection: return "objectDetection";
    case AIWorkloadID::semanticSegmentation: return "semanticSegmentation";
    case AIWorkloadID::superResolution: return "superResolution";
    case AIWorkloadID::multimodalSimilarity: return "multimodalSimilarity";
    case AIWorkloadID::textTokenization: return "textTokenization";
    case AIWorkloadID::textEmbeddings: return "textEmbeddings";
    case AIWorkloadID::ropeRMSNorm: return "ropeRMSNorm";
    case AIWorkloadID::transformerAttention: return "transformerAttention";
    case AIWorkloadID::llmPromptProcessing: return "llmPromptProcessing";
    case AIWorkloadID::llmTokenGeneration: return "llmTokenGeneration";
    case AIWorkloadID::diffusionDenoise: return "diffusionDenoise";
    case AIWorkloadID::melSpectrogram: return "melSpectrogram";
    case AIWorkloadID::speechRecognition: return "speechRecognition";
    case AIWorkloadID::noiseSuppression: return "noiseSuppression";
    case AIWorkloadID::audioClassification: return "audioClassification";
    case AIWorkloadID::matrixFP32: return "matrixFP32";
    case AIWorkloadID::matrixFP16: return "matrixFP16";
    case AIWorkloadID::matrixINT8: return "matrixINT8";
    case AIWorkloadID::convolution: return "convolution";
    case AIWorkloadID::softmaxLayerNorm: return "softmaxLayerNorm";
    case AIWorkloadID::tensorOperations: return "tensorOperations";
    case AIWorkloadID::threadScaling: return "threadScaling";
    case AIWorkloadID::gpuCommandThroughput: return "gpuCommandThroughput";
    case AIWorkloadID::metalMemoryBandwidth: return "metalMemoryBandwidth";
    case AIWorkloadID::metalCacheLadder: return "metalCacheLadder";
    case AIWorkloadID::llmGEMVFP16: return "llmGEMVFP16";
    case AIWorkloadID::llmQ4: return "llmQ4";
    case AIWorkloadID::attentionPrefill: return "attentionPrefill";
    case AIWorkloadID::attentionDecode: return "attentionDecode";
    case AIWorkloadID::kvCacheReadWrite: return "kvCacheReadWrite";
    case AIWorkloadID::metalSustained: return "metalSustained";
    case AIWorkloadID::gpuTransfer: return "gpuTransfer";
    case AIWorkloadID::fineTuningStep: return "fineTuningStep";
    case AIWorkloadID::modelLoading: return "modelLoading";
    case AIWorkloadID::tensorAllocation: return "tensorAllocation";
    case AIWorkloadID::memoryPressure: return "memoryPressure";
    case AIWorkloadID::kvCache: return "kvCache";
    case AIWorkloadID::batchScaling: return "batchScaling";
    case AIWorkloadID::mixedSustained: return "mixedSustained";
    }
    return {};
}

template <>
std::optional<AIRunMode> fromRaw<AIRunMode>(std::string_view raw)
{
    return matchRaw(allRunModes, raw);
}
template <>
std::optional<AIBackend> fromRaw<AIBackend>(std::string_view raw)
{
    return matchRaw(allBackends, raw);
}
template <>
std::optional<AIScoreRole> fromRaw<AIScoreRole>(std::string_view raw)
{
    return matchRaw(allScoreRoles, raw);
}
template <>
std::optional<AIPrecision> fromRaw<AIPrecision>(std::string_view raw)
{
    return matchRaw(allPrecisions, raw);
}
template <>
std::optional<AICategory> fromRaw<AICategory>(std::string_view raw)
{
    return matchRaw(allCategories, raw);
}
template <>
std::optional<CoreMLModelFamily> fromRaw<CoreMLModelFamily>(std::string_view raw)
{
    return matchRaw(allModelFamilies, raw);
}
template <>
std::optional<AIWorkloadID> fromRaw<AIWorkloadID>(std::string_view raw)
{
    return matchRaw(allWorkloadIDs(), raw);
}

std::optional<AIBackend> decodeBackend(std::string_view raw)
{
    // Files written before calibration existed name the automatic backend this way.
    if (raw == "Best Available") {
        return AIBackend::automatic;
    }
    return fromRaw<AIBackend>(raw);
}

std::vector<AIWorkloadID> workloadIDs(AIRunMode mode)
{
    using W = AIWorkloadID;
    switch (mode) {
    case AIRunMode::quick:
        return {W::imageClassification, W::textEmbeddings, W::transformerAttention, W::llmTokenGeneration,
                W::matrixFP32,          W::matrixFP16,     W::audioClassification};
    case AIRunMode::complete: {
        std::vector<W> ids;
        for (W id : allWorkloadIDs()) {
            if (id != W::gpuCommandThroughput && id != W::metalSustained && id != W::memoryPressure &&
                id != W::mixedSustained) {
                ids.push_back(id);
            }
        }
        return ids;
    }
    case AIRunMode::extended: {
        const auto all = allWorkloadIDs();
        return {all.begin(), all.end()};
    }
    case AIRunMode::stress: return {W::mixedSustained, W::metalSustained};
    }
    return {};
}

AIColor color(AICategory category)
{
    switch (category) {
    case AICategory::vision: return {0.16, 0.78, 0.92, 1.0};
    case AICategory::language: return {0.51, 0.65, 1.0, 1.0};
    case AICategory::generative: return {0.82, 0.49, 0.96, 1.0};
    case AICategory::audio: return {0.31, 0.88, 0.66, 1.0};
    case AICategory::compute: return {0.99, 0.65, 0.2, 1.0};
    case AICategory::training: return {0.98, 0.43, 0.49, 1.0};
    case AICategory::memory: return {0.82, 0.82, 0.73, 1.0};
    case AICategory::sustained: return {0.93, 0.3, 0.33, 1.0};
    }
    return {0, 0, 0, 1.0};
}

const AIWorkloadDefinition& definition(AIWorkloadID id)
{
    return AIWorkloadCatalog::definitions().at(id);
}

}  // namespace korvalen
