#pragma once

#include "Model/AIRecords.h"
#include "Model/AIVocabulary.h"
#include "Visualization/SceneContext.h"

#include <QObject>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace korvalen {

// What a visualization window is doing; the raw value is the text of its phase badge.
enum class AIVisualizationPhase { previewing, sustainedLive, scoring, completed, stopped };
inline constexpr std::array<AIVisualizationPhase, 5> allVisualizationPhases{
    AIVisualizationPhase::previewing, AIVisualizationPhase::sustainedLive, AIVisualizationPhase::scoring,
    AIVisualizationPhase::completed, AIVisualizationPhase::stopped};
std::string_view rawValue(AIVisualizationPhase phase);
template <>
std::optional<AIVisualizationPhase> fromRaw<AIVisualizationPhase>(std::string_view raw);
// Whether the scene moves: false while a measurement runs (scoring) and after a stop.
bool animates(AIVisualizationPhase phase);

// The 36 GPU scenes; the raw value is the case name.
enum class GPUVisualizationStyle {
    visionClassification,
    visionObjectTracking,
    visionSemanticMask,
    visionSuperResolution,
    visionMultimodalEmbedding,
    languageEmbeddingProjection,
    languageRoPERMS,
    languageAttentionGraph,
    generativePromptPrefill,
    generativeTokenDecode,
    generativeDiffusionDenoise,
    audioSpeechDecode,
    audioNoiseGate,
    audioSceneClassifier,
    computeMatrixFP32,
    computeMatrixFP16,
    computeMatrixINT8,
    computeConvolution,
    computeSoftmaxNorm,
    computeFusedTensor,
    metalCommandQueues,
    metalMemoryBandwidth,
    metalCacheHierarchy,
    llmGEMV,
    llmQ4Dequant,
    attentionPrefill,
    attentionDecode,
    kvCacheTraffic,
    metalSustainedTelemetry,
    trainingBackprop,
    gpuTensorTransfer,
    modelLoadPipeline,
    tensorAllocator,
    kvContextGrowth,
    batchScaling,
    mixedSustainedDashboard,
};
inline constexpr int gpuVisualizationStyleCount = 36;
std::array<GPUVisualizationStyle, gpuVisualizationStyleCount> allGPUVisualizationStyles();
std::string_view rawValue(GPUVisualizationStyle style);
template <>
std::optional<GPUVisualizationStyle> fromRaw<GPUVisualizationStyle>(std::string_view raw);

// One of the 42 scenes: a GPU scene, or one of the six backend-independent image and diffusion scenes.
struct AIVisualizationStyle {
    enum class Kind {
        gpu,
        classification,
        objectDetectionVideo,
        segmentationVideo,
        superResolution,
        multimodal,
        diffusion
    };
    Kind kind = Kind::classification;
    GPUVisualizationStyle gpuStyle = GPUVisualizationStyle::visionClassification;  // read only when kind is gpu

    static constexpr AIVisualizationStyle gpu(GPUVisualizationStyle style) { return {Kind::gpu, style}; }
    static constexpr AIVisualizationStyle of(Kind kind) { return {kind, GPUVisualizationStyle::visionClassification}; }
    bool operator==(const AIVisualizationStyle& other) const
    {
        return kind == other.kind && (kind != Kind::gpu || gpuStyle == other.gpuStyle);
    }
};
inline constexpr int visualizationStyleCount = 42;
// All 42 styles in their declaration order: the GPU scenes first, then the six others.
std::array<AIVisualizationStyle, visualizationStyleCount> allVisualizationStyles();
// "gpu(visionClassification)", "classification", ...
std::string styleName(const AIVisualizationStyle& style);

// The workload's GPU scene; none for the workloads that have no picture.
std::optional<GPUVisualizationStyle> gpuVisualizationStyle(AIWorkloadID workload);
// The scene of a workload on a backend: its GPU scene on the GPU, else its backend-independent scene.
std::optional<AIVisualizationStyle> visualizationStyle(AIWorkloadID workload, AIBackend backend);
// Whether an item may get a window at all. On the automatic backend the real backend is known only
// after calibration, so a GPU scene counts too.
bool visualizationSceneCanExist(AIWorkloadID workload, AIBackend backend);

// What one window shows; fixed for the window's life.
struct AIVisualizationRequest {
    AIWorkloadID workloadID = AIWorkloadID::imageClassification;
    std::string title;
    std::string subtitle;
    AIBackend backend = AIBackend::automatic;
    AIVisualizationStyle style;
    SceneColor accent;
    bool operator==(const AIVisualizationRequest&) const = default;
};

// The status texts of a result: "Score 1235" and "12.500 tokens/s", or "Result unavailable" and nothing.
std::string visualizationScoreText(const std::optional<AIBenchmarkResult>& result);
std::string visualizationThroughputText(const std::optional<AIBenchmarkResult>& result);

// The observable state of one window. Every setter publishes, also when the value is unchanged.
class AIVisualizationModel : public QObject {
    Q_OBJECT

public:
    explicit AIVisualizationModel(AIVisualizationRequest request, QObject* parent = nullptr);

    const AIVisualizationRequest& request() const { return request_; }
    AIVisualizationPhase phase() const { return phase_; }
    void setPhase(AIVisualizationPhase phase);
    const std::string& scoreText() const { return scoreText_; }
    void setScoreText(std::string text);
    const std::string& throughputText() const { return throughputText_; }
    void setThroughputText(std::string text);

signals:
    void changed();

private:
    AIVisualizationRequest request_;
    AIVisualizationPhase phase_ = AIVisualizationPhase::previewing;
    std::string scoreText_;
    std::string throughputText_;
};

}  // namespace korvalen
