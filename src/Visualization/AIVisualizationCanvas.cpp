#include "Visualization/AIVisualizationCanvas.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/Scenes.h"

#include <QPainter>
#include <QTimer>

#include <cmath>

namespace korvalen {

AIVisualizationCanvas::AIVisualizationCanvas(AIVisualizationModel& model, QWidget* parent, Clock clock)
    : QWidget(parent),
      model_(&model),
      clock_(clock ? std::move(clock) : Clock(&secondsSinceReferenceDateNow)),
      timer_(new QTimer(this))
{
    setAttribute(Qt::WA_OpaquePaintEvent);  // the background covers every pixel
    setMinimumSize(0, 0);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    connect(&model, &AIVisualizationModel::changed, this, &AIVisualizationCanvas::modelChanged);
    modelChanged();
}

double AIVisualizationCanvas::refreshInterval(AIVisualizationPhase phase)
{
    switch (phase) {
    case AIVisualizationPhase::previewing:
    case AIVisualizationPhase::completed: return 1.0 / 30.0;
    case AIVisualizationPhase::sustainedLive: return 0.125;
    case AIVisualizationPhase::scoring:
    case AIVisualizationPhase::stopped: return 3600;
    }
    return 3600;
}

double AIVisualizationCanvas::frameTime(AIVisualizationPhase phase, double liveSeconds)
{
    return animates(phase) ? liveSeconds : 1.35;
}

double AIVisualizationCanvas::secondsSinceReferenceDate(std::chrono::system_clock::time_point when)
{
    // 2001-01-01 00:00:00 UTC is 978307200 s after the Unix epoch; nanoseconds keep sub-frame steps.
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<nanoseconds>(when.time_since_epoch()).count();
    constexpr std::int64_t referenceNs = 978307200LL * 1000000000LL;
    const std::int64_t ns = sinceEpoch - referenceNs;
    return double(ns / 1000000000LL) + double(ns % 1000000000LL) / 1e9;
}

double AIVisualizationCanvas::secondsSinceReferenceDateNow()
{
    return secondsSinceReferenceDate(std::chrono::system_clock::now());
}

void AIVisualizationCanvas::modelChanged()
{
    // A change restarts the schedule with the phase's interval, counted from now, and shows it at once.
    const double interval = model_ ? refreshInterval(model_->phase()) : 3600;
    timer_->start(int(std::lround(interval * 1000)));
    update();
}

int AIVisualizationCanvas::timerInterval() const
{
    return timer_->isActive() ? timer_->interval() : -1;
}

void AIVisualizationCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (!model_) {
        painter.fillRect(rect(), Qt::black);
        return;
    }
    const double time = frameTime(model_->phase(), animates(model_->phase()) ? clock_() : 0);
    PainterSceneContext context(painter, model_->request().accent);
    drawFrame(context, model_->request().style, QSizeF(size()), time);
}

void AIVisualizationCanvas::drawFrame(SceneContext& context, const AIVisualizationStyle& style, QSizeF size,
                                      double time)
{
    scene::drawBackground(context, size, time);
    drawScene(context, style, size, time);
}

void AIVisualizationCanvas::drawScene(SceneContext& c, const AIVisualizationStyle& style, QSizeF s, double t)
{
    using namespace scene;
    using K = AIVisualizationStyle::Kind;
    using G = GPUVisualizationStyle;
    // No default branches: a style without a routine does not compile.
    switch (style.kind) {
    case K::classification: return drawClassification(c, s, t);
    case K::objectDetectionVideo: return drawObjectDetection(c, s, t);
    case K::segmentationVideo: return drawSegmentation(c, s, t);
    case K::superResolution: return drawSuperResolution(c, s, t);
    case K::multimodal: return drawMultimodal(c, s, t);
    case K::diffusion: return drawDiffusion(c, s, t);
    case K::gpu:
        switch (style.gpuStyle) {
        case G::visionClassification: return drawGPUVisionClassification(c, s, t);
        case G::visionObjectTracking: return drawGPUVisionObjectTracking(c, s, t);
        case G::visionSemanticMask: return drawGPUVisionSemanticMask(c, s, t);
        case G::visionSuperResolution: return drawGPUVisionSuperResolution(c, s, t);
        case G::visionMultimodalEmbedding: return drawGPUVisionMultimodalEmbedding(c, s, t);
        case G::languageEmbeddingProjection: return drawGPULanguageEmbeddingProjection(c, s, t);
        case G::languageRoPERMS: return drawGPULanguageRoPERMS(c, s, t);
        case G::languageAttentionGraph: return drawGPULanguageAttentionGraph(c, s, t);
        case G::generativePromptPrefill: return drawGPUGenerativePromptPrefill(c, s, t);
        case G::generativeTokenDecode: return drawGPUGenerativeTokenDecode(c, s, t);
        case G::generativeDiffusionDenoise: return drawGPUGenerativeDiffusion(c, s, t);
        case G::audioSpeechDecode: return drawGPUAudioSpeechDecode(c, s, t);
        case G::audioNoiseGate: return drawGPUAudioNoiseGate(c, s, t);
        case G::audioSceneClassifier: return drawGPUAudioSceneClassifier(c, s, t);
        case G::computeMatrixFP32: return drawGPUComputeMatrixFP32(c, s, t);
        case G::computeMatrixFP16: return drawGPUComputeMatrixFP16(c, s, t);
        case G::computeMatrixINT8: return drawGPUComputeMatrixINT8(c, s, t);
        case G::computeConvolution: return drawGPUComputeConvolution(c, s, t);
        case G::computeSoftmaxNorm: return drawGPUComputeSoftmaxNorm(c, s, t);
        case G::computeFusedTensor: return drawGPUComputeFusedTensor(c, s, t);
        case G::metalCommandQueues: return drawGPUMetalCommandQueues(c, s, t);
        case G::metalMemoryBandwidth: return drawGPUMetalMemoryBandwidth(c, s, t);
        case G::metalCacheHierarchy: return drawGPUMetalCacheHierarchy(c, s, t);
        case G::llmGEMV: return drawGPULLMGEMV(c, s, t);
        case G::llmQ4Dequant: return drawGPULLMQ4Dequant(c, s, t);
        case G::attentionPrefill: return drawGPUAttentionPrefill(c, s, t);
        case G::attentionDecode: return drawGPUAttentionDecode(c, s, t);
        case G::kvCacheTraffic: return drawGPUKVCacheTraffic(c, s, t);
        case G::metalSustainedTelemetry: return drawGPUMetalSustainedTelemetry(c, s, t);
        case G::trainingBackprop: return drawGPUTrainingBackprop(c, s, t);
        case G::gpuTensorTransfer: return drawGPUTensorTransfer(c, s, t);
        case G::modelLoadPipeline: return drawGPUModelLoadPipeline(c, s, t);
        case G::tensorAllocator: return drawGPUTensorAllocator(c, s, t);
        case G::kvContextGrowth: return drawGPUKVContextGrowth(c, s, t);
        case G::batchScaling: return drawGPUBatchScaling(c, s, t);
        case G::mixedSustainedDashboard: return drawGPUMixedSustainedDashboard(c, s, t);
        }
        return;
    }
}

}  // namespace korvalen
