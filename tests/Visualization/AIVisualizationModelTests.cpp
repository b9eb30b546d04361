#include "Visualization/AIVisualizationModel.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace korvalen;

namespace {

// workload, its GPU scene, its style on cpu / neuralEnginePreferred / automatic ("" for none)
struct MappingRow {
    const char* workload;
    const char* gpuScene;
    const char* otherStyle;
};

const MappingRow mapping[] = {
    {"imageClassification", "visionClassification", "classification"},
    {"objectDetection", "visionObjectTracking", "objectDetectionVideo"},
    {"semanticSegmentation", "visionSemanticMask", "segmentationVideo"},
    {"superResolution", "visionSuperResolution", "superResolution"},
    {"multimodalSimilarity", "visionMultimodalEmbedding", "multimodal"},
    {"textTokenization", "", ""},
    {"textEmbeddings", "languageEmbeddingProjection", ""},
    {"ropeRMSNorm", "languageRoPERMS", ""},
    {"transformerAttention", "languageAttentionGraph", ""},
    {"llmPromptProcessing", "generativePromptPrefill", ""},
    {"llmTokenGeneration", "generativeTokenDecode", ""},
    {"diffusionDenoise", "generativeDiffusionDenoise", "diffusion"},
    {"melSpectrogram", "", ""},
    {"speechRecognition", "audioSpeechDecode", ""},
    {"noiseSuppression", "audioNoiseGate", ""},
    {"audioClassification", "audioSceneClassifier", ""},
    {"matrixFP32", "computeMatrixFP32", ""},
    {"matrixFP16", "computeMatrixFP16", ""},
    {"matrixINT8", "computeMatrixINT8", ""},
    {"convolution", "computeConvolution", ""},
    {"softmaxLayerNorm", "computeSoftmaxNorm", ""},
    {"tensorOperations", "computeFusedTensor", ""},
    {"threadScaling", "", ""},
    {"gpuCommandThroughput", "metalCommandQueues", ""},
    {"metalMemoryBandwidth", "metalMemoryBandwidth", ""},
    {"metalCacheLadder", "metalCacheHierarchy", ""},
    {"llmGEMVFP16", "llmGEMV", ""},
    {"llmQ4", "llmQ4Dequant", ""},
    {"attentionPrefill", "attentionPrefill", ""},
    {"attentionDecode", "attentionDecode", ""},
    {"kvCacheReadWrite", "kvCacheTraffic", ""},
    {"metalSustained", "metalSustainedTelemetry", ""},
    {"gpuTransfer", "gpuTensorTransfer", ""},
    {"fineTuningStep", "trainingBackprop", ""},
    {"modelLoading", "modelLoadPipeline", ""},
    {"tensorAllocation", "tensorAllocator", ""},
    {"memoryPressure", "", ""},
    {"kvCache", "kvContextGrowth", ""},
    {"batchScaling", "batchScaling", ""},
    {"mixedSustained", "mixedSustainedDashboard", "gpu(mixedSustainedDashboard)"},
};

std::string nameOf(const std::optional<AIVisualizationStyle>& style)
{
    return style ? styleName(*style) : "";
}

}  // namespace

TEST(VisualizationStyles, EveryWorkloadOnEveryBackendMapsAsTheTableSays)
{
    ASSERT_EQ(std::size(mapping), std::size_t(workloadCount));
    std::set<std::string> windowless;
    for (const auto& row : mapping) {
        const auto id = fromRaw<AIWorkloadID>(row.workload);
        ASSERT_TRUE(id) << row.workload;
        const auto gpu = gpuVisualizationStyle(*id);
        EXPECT_EQ(gpu ? std::string(rawValue(*gpu)) : "", row.gpuScene) << row.workload;
        const std::string onGpu = *row.gpuScene ? "gpu(" + std::string(row.gpuScene) + ")" : row.otherStyle;
        EXPECT_EQ(nameOf(visualizationStyle(*id, AIBackend::gpu)), onGpu) << row.workload;
        for (auto backend : {AIBackend::cpu, AIBackend::neuralEnginePreferred, AIBackend::automatic})
            EXPECT_EQ(nameOf(visualizationStyle(*id, backend)), row.otherStyle)
                << row.workload << " " << rawValue(backend);

        // The scene rule: a fixed backend needs a style; automatic also counts a GPU scene.
        EXPECT_EQ(visualizationSceneCanExist(*id, AIBackend::cpu), *row.otherStyle != 0) << row.workload;
        EXPECT_EQ(visualizationSceneCanExist(*id, AIBackend::neuralEnginePreferred), *row.otherStyle != 0);
        EXPECT_EQ(visualizationSceneCanExist(*id, AIBackend::gpu), !onGpu.empty()) << row.workload;
        const bool any = visualizationSceneCanExist(*id, AIBackend::automatic);
        EXPECT_EQ(any, *row.gpuScene || *row.otherStyle) << row.workload;
        if (!any && !visualizationSceneCanExist(*id, AIBackend::gpu)) windowless.insert(row.workload);
    }
    EXPECT_EQ(windowless,
              (std::set<std::string>{"textTokenization", "melSpectrogram", "threadScaling", "memoryPressure"}));
}

TEST(VisualizationStyles, NamesParseBackAndAll42AreDistinct)
{
    for (auto style : allGPUVisualizationStyles()) EXPECT_EQ(fromRaw<GPUVisualizationStyle>(rawValue(style)), style);
    EXPECT_FALSE(fromRaw<GPUVisualizationStyle>("VisionClassification"));
    std::set<std::string> names;
    for (const auto& style : allVisualizationStyles()) names.insert(styleName(style));
    EXPECT_EQ(names.size(), 42u);
    EXPECT_EQ(styleName(allVisualizationStyles()[29]), "gpu(trainingBackprop)");
    EXPECT_EQ(styleName(allVisualizationStyles()[41]), "diffusion");
}

TEST(VisualizationPhase, BadgeLabelsParseExactlyAndOnlyScoringAndStoppedFreeze)
{
    struct Row {
        AIVisualizationPhase phase;
        const char* label;
        bool animates;
    };
    const Row rows[] = {
        {AIVisualizationPhase::previewing, "GENERATING PREVIEW", true},
        {AIVisualizationPhase::sustainedLive, "SUSTAINED — LIVE", true},
        {AIVisualizationPhase::scoring, "SCORING — VISUAL FROZEN", false},
        {AIVisualizationPhase::completed, "RESULT VALIDATED", true},
        {AIVisualizationPhase::stopped, "STOPPED", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(rawValue(row.phase), row.label);
        EXPECT_EQ(fromRaw<AIVisualizationPhase>(row.label), row.phase);
        EXPECT_EQ(animates(row.phase), row.animates) << row.label;
    }
    EXPECT_FALSE(fromRaw<AIVisualizationPhase>("stopped"));
    EXPECT_FALSE(fromRaw<AIVisualizationPhase>("SUSTAINED - LIVE"));
}

TEST(VisualizationModel, StartsPreviewingAndPublishesEveryAssignment)
{
    AIVisualizationModel model(AIVisualizationRequest{});
    EXPECT_EQ(model.phase(), AIVisualizationPhase::previewing);
    EXPECT_TRUE(model.scoreText().empty());
    EXPECT_TRUE(model.throughputText().empty());
    int changes = 0;
    QObject::connect(&model, &AIVisualizationModel::changed, [&] { ++changes; });
    model.setPhase(AIVisualizationPhase::previewing);
    model.setScoreText("");
    model.setThroughputText("");
    EXPECT_EQ(changes, 3);
}

TEST(VisualizationModel, ResultTexts)
{
    AIBenchmarkResult result;
    result.score = 1234.6;
    result.throughput = 12.5;
    result.throughputUnit = "tokens/s";
    EXPECT_EQ(visualizationScoreText(result), "Score 1235");
    EXPECT_EQ(visualizationThroughputText(result), "12.500 tokens/s");
    result.score = 2.5;  // printf rounds ties to even
    EXPECT_EQ(visualizationScoreText(result), "Score 2");
    result.score = std::numeric_limits<double>::quiet_NaN();
    result.throughput = std::numeric_limits<double>::infinity();
    EXPECT_EQ(visualizationScoreText(result), "Score —");
    EXPECT_EQ(visualizationThroughputText(result), "— tokens/s");
    EXPECT_EQ(visualizationScoreText(std::nullopt), "Result unavailable");
    EXPECT_EQ(visualizationThroughputText(std::nullopt), "");
}
