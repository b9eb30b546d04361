#include "Visualization/AIVisualizationModel.h"

#include "Platform/Foundation/NumberFormat.h"

#include <cmath>

namespace korvalen {

std::string_view rawValue(AIVisualizationPhase phase)
{
    switch (phase) {
    case AIVisualizationPhase::previewing: return "GENERATING PREVIEW";
    case AIVisualizationPhase::sustainedLive: return "SUSTAINED — LIVE";
    case AIVisualizationPhase::scoring: return "SCORING — VISUAL FROZEN";
    case AIVisualizationPhase::completed: return "RESULT VALIDATED";
    case AIVisualizationPhase::stopped: return "STOPPED";
    }
    return {};
}

template <>
std::optional<AIVisualizationPhase> fromRaw<AIVisualizationPhase>(std::string_view raw)
{
    for (auto phase : allVisualizationPhases)
        if (rawValue(phase) == raw) return phase;
    return std::nullopt;
}

bool animates(AIVisualizationPhase phase)
{
    switch (phase) {
    case AIVisualizationPhase::previewing:
    case AIVisualizationPhase::sustainedLive:
    case AIVisualizationPhase::completed: return true;
    case AIVisualizationPhase::scoring:
    case AIVisualizationPhase::stopped: return false;
    }
    return false;
}

namespace {

struct GPUStyleName {
    GPUVisualizationStyle style;
    std::string_view name;
};

constexpr GPUStyleName gpuStyleNames[gpuVisualizationStyleCount] = {
    {GPUVisualizationStyle::visionClassification, "visionClassification"},
    {GPUVisualizationStyle::visionObjectTracking, "visionObjectTracking"},
    {GPUVisualizationStyle::visionSemanticMask, "visionSemanticMask"},
    {GPUVisualizationStyle::visionSuperResolution, "visionSuperResolution"},
    {GPUVisualizationStyle::visionMultimodalEmbedding, "visionMultimodalEmbedding"},
    {GPUVisualizationStyle::languageEmbeddingProjection, "languageEmbeddingProjection"},
    {GPUVisualizationStyle::languageRoPERMS, "languageRoPERMS"},
    {GPUVisualizationStyle::languageAttentionGraph, "languageAttentionGraph"},
    {GPUVisualizationStyle::generativePromptPrefill, "generativePromptPrefill"},
    {GPUVisualizationStyle::generativeTokenDecode, "generativeTokenDecode"},
    {GPUVisualizationStyle::generativeDiffusionDenoise, "generativeDiffusionDenoise"},
    {GPUVisualizationStyle::audioSpeechDecode, "audioSpeechDecode"},
    {GPUVisualizationStyle::audioNoiseGate, "audioNoiseGate"},
    {GPUVisualizationStyle::audioSceneClassifier, "audioSceneClassifier"},
    {GPUVisualizationStyle::computeMatrixFP32, "computeMatrixFP32"},
    {GPUVisualizationStyle::computeMatrixFP16, "computeMatrixFP16"},
    {GPUVisualizationStyle::computeMatrixINT8, "computeMatrixINT8"},
    {GPUVisualizationStyle::computeConvolution, "computeConvolution"},
    {GPUVisualizationStyle::computeSoftmaxNorm, "computeSoftmaxNorm"},
    {GPUVisualizationStyle::computeFusedTensor, "computeFusedTensor"},
    {GPUVisualizationStyle::metalCommandQueues, "metalCommandQueues"},
    {GPUVisualizationStyle::metalMemoryBandwidth, "metalMemoryBandwidth"},
    {GPUVisualizationStyle::metalCacheHierarchy, "metalCacheHierarchy"},
    {GPUVisualizationStyle::llmGEMV, "llmGEMV"},
    {GPUVisualizationStyle::llmQ4Dequant, "llmQ4Dequant"},
    {GPUVisualizationStyle::attentionPrefill, "attentionPrefill"},
    {GPUVisualizationStyle::attentionDecode, "attentionDecode"},
    {GPUVisualizationStyle::kvCacheTraffic, "kvCacheTraffic"},
    {GPUVisualizationStyle::metalSustainedTelemetry, "metalSustainedTelemetry"},
    {GPUVisualizationStyle::trainingBackprop, "trainingBackprop"},
    {GPUVisualizationStyle::gpuTensorTransfer, "gpuTensorTransfer"},
    {GPUVisualizationStyle::modelLoadPipeline, "modelLoadPipeline"},
    {GPUVisualizationStyle::tensorAllocator, "tensorAllocator"},
    {GPUVisualizationStyle::kvContextGrowth, "kvContextGrowth"},
    {GPUVisualizationStyle::batchScaling, "batchScaling"},
    {GPUVisualizationStyle::mixedSustainedDashboard, "mixedSustainedDashboard"},
};

}  // namespace

std::array<GPUVisualizationStyle, gpuVisualizationStyleCount> allGPUVisualizationStyles()
{
    std::array<GPUVisualizationStyle, gpuVisualizationStyleCount> styles{};
    for (int i = 0; i < gpuVisualizationStyleCount; ++i) styles[i] = gpuStyleNames[i].style;
    return styles;
}

std::string_view rawValue(GPUVisualizationStyle style)
{
    for (const auto& entry : gpuStyleNames)
        if (entry.style == style) return entry.name;
    return {};
}

template <>
std::optional<GPUVisualizationStyle> fromRaw<GPUVisualizationStyle>(std::string_view raw)
{
    for (const auto& entry : gpuStyleNames)
        if (entry.name == raw) return entry.style;
    return std::nullopt;
}

std::array<AIVisualizationStyle, visualizationStyleCount> allVisualizationStyles()
{
    using K = AIVisualizationStyle::Kind;
    std::array<AIVisualizationStyle, visualizationStyleCount> styles{};
    int i = 0;
    for (auto gpu : allGPUVisualizationStyles()) styles[i++] = AIVisualizationStyle::gpu(gpu);
    for (auto kind : {K::classification, K::objectDetectionVideo, K::segmentationVideo, K::superResolution,
                      K::multimodal, K::diffusion})
        styles[i++] = AIVisualizationStyle::of(kind);
    return styles;
}

std::string styleName(const AIVisualizationStyle& style)
{
    using K = AIVisualizationStyle::Kind;
    switch (style.kind) {
    case K::gpu: return "gpu(" + std::string(rawValue(style.gpuStyle)) + ")";
    case K::classification: return "classification";
    case K::objectDetectionVideo: return "objectDetectionVideo";
    case K::segmentationVideo: return "segmentationVideo";
    case K::superResolution: return "superResolution";
    case K::multimodal: return "multimodal";
    case K::diffusion: return "diffusion";
    }
    return {};
}

std::optional<GPUVisualizationStyle> gpuVisualizationStyle(AIWorkloadID workload)
{
    using W = AIWorkloadID;
    using G = GPUVisualizationStyle;
    switch (workload) {
    case W::imageClassification: return G::visionClassification;
    case W::objectDetection: return G::visionObjectTracking;
    case W::semanticSegmentation: return G::visionSemanticMask;
    case W::superResolution: return G::visionSuperResolution;
    case W::multimodalSimilarity: return G::visionMultimodalEmbedding;
    case W::textTokenization: return std::nullopt;
    case W::textEmbeddings: return G::languageEmbeddingProjection;
    case W::ropeRMSNorm: return G::languageRoPERMS;
    case W::transformerAttention: return G::languageAttentionGraph;
    case W::llmPromptProcessing: return G::generativePromptPrefill;
    case W::llmTokenGeneration: return G::generativeTokenDecode;
    case W::diffusionDenoise: return G::generativeDiffusionDenoise;
    case W::melSpectrogram: return std::nullopt;
    case W::speechRecognition: return G::audioSpeechDecode;
    case W::noiseSuppression: return G::audioNoiseGate;
    case W::audioClassification: return G::audioSceneClassifier;
    case W::matrixFP32: return G::computeMatrixFP32;
    case W::matrixFP16: return G::computeMatrixFP16;
    case W::matrixINT8: return G::computeMatrixINT8;
    case W::convolution: return G::computeConvolution;
    case W::softmaxLayerNorm: return G::computeSoftmaxNorm;
    case W::tensorOperations: return G::computeFusedTensor;
    case W::threadScaling: return std::nullopt;
    case W::gpuCommandThroughput: return G::metalCommandQueues;
    case W::metalMemoryBandwidth: return G::metalMemoryBandwidth;
    case W::metalCacheLadder: return G::metalCacheHierarchy;
    case W::llmGEMVFP16: return G::llmGEMV;
    case W::llmQ4: return G::llmQ4Dequant;
    case W::attentionPrefill: return G::attentionPrefill;
    case W::attentionDecode: return G::attentionDecode;
    case W::kvCacheReadWrite: return G::kvCacheTraffic;
    case W::metalSustained: return G::metalSustainedTelemetry;
    case W::gpuTransfer: return G::gpuTensorTransfer;
    case W::fineTuningStep: return G::trainingBackprop;
    case W::modelLoading: return G::modelLoadPipeline;
    case W::tensorAllocation: return G::tensorAllocator;
    case W::memoryPressure: return std::nullopt;
    case W::kvCache: return G::kvContextGrowth;
    case W::batchScaling: return G::batchScaling;
    case W::mixedSustained: return G::mixedSustainedDashboard;
    }
    return std::nullopt;
}

namespace {

std::optional<AIVisualizationStyle> backendIndependentStyle(AIWorkloadID workload)
{
    using K = AIVisualizationStyle::Kind;
    switch (workload) {
    case AIWorkloadID::imageClassification: return AIVisualizationStyle::of(K::classification);
    case AIWorkloadID::objectDetection: return AIVisualizationStyle::of(K::objectDetectionVideo);
    case AIWorkloadID::semanticSegmentation: return AIVisualizationStyle::of(K::segmentationVideo);
    case AIWorkloadID::superResolution: return AIVisualizationStyle::of(K::superResolution);
    case AIWorkloadID::multimodalSimilarity: return AIVisualizationStyle::of(K::multimodal);
    case AIWorkloadID::diffusionDenoise: return AIVisualizationStyle::of(K::diffusion);
    case AIWorkloadID::mixedSustained: return AIVisualizationStyle::gpu(GPUVisualizationStyle::mixedSustainedDashboard);
    default: return std::nullopt;
    }
}

}  // namespace

std::optional<AIVisualizationStyle> visualizationStyle(AIWorkloadID workload, AIBackend backend)
{
    if (backend == AIBackend::gpu)
        if (auto gpu = gpuVisualizationStyle(workload)) return AIVisualizationStyle::gpu(*gpu);
    return backendIndependentStyle(workload);
}

bool visualizationSceneCanExist(AIWorkloadID workload, AIBackend backend)
{
    if (backend != AIBackend::automatic) return visualizationStyle(workload, backend).has_value();
    return backendIndependentStyle(workload).has_value() || gpuVisualizationStyle(workload).has_value();
}

std::string visualizationScoreText(const std::optional<AIBenchmarkResult>& result)
{
    if (!result) return "Result unavailable";
    // A non-finite score would print "nan" or "inf"; a dash says plainly that there is no number.
    if (!std::isfinite(result->score)) return "Score —";
    return "Score " + formatFixed(result->score, 0);
}

std::string visualizationThroughputText(const std::optional<AIBenchmarkResult>& result)
{
    if (!result) return {};
    const std::string number = std::isfinite(result->throughput) ? formatFixed(result->throughput, 3) : "—";
    return number + " " + result->throughputUnit;
}

AIVisualizationModel::AIVisualizationModel(AIVisualizationRequest request, QObject* parent)
    : QObject(parent), request_(std::move(request))
{}

void AIVisualizationModel::setPhase(AIVisualizationPhase phase)
{
    phase_ = phase;
    emit changed();
}

void AIVisualizationModel::setScoreText(std::string text)
{
    scoreText_ = std::move(text);
    emit changed();
}

void AIVisualizationModel::setThroughputText(std::string text)
{
    throughputText_ = std::move(text);
    emit changed();
}

}  // namespace korvalen
