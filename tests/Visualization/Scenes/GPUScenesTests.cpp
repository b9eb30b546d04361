#include "Visualization/AIVisualizationCanvas.h"
#include "Visualization/AIVisualizationModel.h"
#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/Scenes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

using namespace korvalen;
using namespace korvalen::scene;
using Op = RecordingSceneContext::Operation;
using Kind = ScenePathElement::Kind;

namespace {

using SceneRoutine = void (*)(SceneContext&, QSizeF, double);
struct Scene {
    GPUVisualizationStyle style;
    SceneRoutine draw;
    std::string name() const { return std::string(rawValue(style)); }
};

const Scene gpuScenes[] = {
    {GPUVisualizationStyle::computeMatrixFP32, drawGPUComputeMatrixFP32},
    {GPUVisualizationStyle::computeMatrixFP16, drawGPUComputeMatrixFP16},
    {GPUVisualizationStyle::computeMatrixINT8, drawGPUComputeMatrixINT8},
    {GPUVisualizationStyle::computeConvolution, drawGPUComputeConvolution},
    {GPUVisualizationStyle::computeSoftmaxNorm, drawGPUComputeSoftmaxNorm},
    {GPUVisualizationStyle::computeFusedTensor, drawGPUComputeFusedTensor},
    {GPUVisualizationStyle::llmGEMV, drawGPULLMGEMV},
    {GPUVisualizationStyle::llmQ4Dequant, drawGPULLMQ4Dequant},
    {GPUVisualizationStyle::metalCommandQueues, drawGPUMetalCommandQueues},
    {GPUVisualizationStyle::metalMemoryBandwidth, drawGPUMetalMemoryBandwidth},
    {GPUVisualizationStyle::metalCacheHierarchy, drawGPUMetalCacheHierarchy},
    {GPUVisualizationStyle::metalSustainedTelemetry, drawGPUMetalSustainedTelemetry},
    {GPUVisualizationStyle::attentionPrefill, drawGPUAttentionPrefill},
    {GPUVisualizationStyle::attentionDecode, drawGPUAttentionDecode},
    {GPUVisualizationStyle::kvCacheTraffic, drawGPUKVCacheTraffic},
    {GPUVisualizationStyle::kvContextGrowth, drawGPUKVContextGrowth},
    {GPUVisualizationStyle::trainingBackprop, drawGPUTrainingBackprop},
    {GPUVisualizationStyle::gpuTensorTransfer, drawGPUTensorTransfer},
    {GPUVisualizationStyle::modelLoadPipeline, drawGPUModelLoadPipeline},
    {GPUVisualizationStyle::tensorAllocator, drawGPUTensorAllocator},
    {GPUVisualizationStyle::batchScaling, drawGPUBatchScaling},
    {GPUVisualizationStyle::mixedSustainedDashboard, drawGPUMixedSustainedDashboard},
};

const QSizeF fullSize(960, 540);
constexpr double frozenTime = 1.35;
constexpr double liveTime = 8.2e8;

std::vector<Op> record(SceneRoutine draw, QSizeF size, double time)
{
    RecordingSceneContext context;
    draw(context, size, time);
    return context.operations();
}

bool finiteRect(const QRectF& r)
{
    return std::isfinite(r.x()) && std::isfinite(r.y()) && std::isfinite(r.width()) && std::isfinite(r.height());
}

bool sameRgb(const SceneColor& a, const SceneColor& b)
{
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

bool near(double a, double b)
{
    return std::abs(a - b) < 1e-9;
}

const ScenePathElement& shape(const Op& op)
{
    return op.path.elements().at(0);
}

// Flow dots of one colour, in drawing order: small filled circles.
std::vector<QPointF> dotCentres(const std::vector<Op>& ops, const SceneColor& color, double maxDiameter)
{
    std::vector<QPointF> centres;
    for (const Op& op : ops) {
        if (op.kind == Op::Kind::fill && sameRgb(op.color, color) && shape(op).kind == Kind::ellipse &&
            shape(op).rect.width() <= maxDiameter)
            centres.push_back(shape(op).rect.center());
    }
    return centres;
}

}  // namespace

TEST(GPUScenes, DrawFiniteDeterministicFramesOnTheCanvasAtEverySize)
{
    const QSizeF sizes[] = {fullSize, QSizeF(720, 405), QSizeF(1, 1), QSizeF(0, 0)};
    for (const Scene& scene : gpuScenes) {
        for (const QSizeF size : sizes) {
            for (const double time : {frozenTime, liveTime}) {
                SCOPED_TRACE(scene.name() + " " + std::to_string(size.width()) + " t=" + std::to_string(time));
                const std::vector<Op> ops = record(scene.draw, size, time);
                ASSERT_FALSE(ops.empty());
                EXPECT_EQ(ops, record(scene.draw, size, time));
                const QRectF bounds(QPointF(0, 0), size);
                for (const Op& op : ops) {
                    const SceneColor& c = op.color;
                    ASSERT_TRUE(c.opacity > 0 && c.opacity <= 1 && c.red >= 0 && c.red <= 1) << c.opacity;
                    if (op.kind == Op::Kind::stroke) {
                        ASSERT_GT(op.lineWidth, 0);
                    }
                    for (const ScenePathElement& element : op.path.elements()) {
                        ASSERT_TRUE(finiteRect(element.rect) && std::isfinite(element.cornerRadius));
                        for (const QPointF& p : element.points) {
                            ASSERT_TRUE(std::isfinite(p.x()) && std::isfinite(p.y()));
                            if (size.width() >= 720) {
                                ASSERT_TRUE(bounds.contains(p)) << p.x() << "," << p.y();
                            }
                        }
                        if (size.width() >= 720 && element.kind != Kind::polyline) {
                            ASSERT_TRUE(bounds.contains(element.rect.normalized()))
                                << element.rect.x() << "," << element.rect.y() << " " << element.rect.width();
                        }
                    }
                }
            }
        }
    }
}

TEST(GPUScenes, AreAllDifferentAndMoveWithTime)
{
    std::vector<std::vector<Op>> frames;
    for (const Scene& scene : gpuScenes) {
        frames.push_back(record(scene.draw, fullSize, frozenTime));
        EXPECT_TRUE(frames.back() != record(scene.draw, fullSize, frozenTime + 0.5)) << scene.name();
    }
    for (size_t a = 0; a < frames.size(); ++a)
        for (size_t b = a + 1; b < frames.size(); ++b)
            EXPECT_TRUE(frames[a] != frames[b]) << gpuScenes[a].name() << " vs " << gpuScenes[b].name();
}

// Streams whose fraction runs backwards in time are measured from the far end, so every one of these
// moves rightwards: host to device, left bank to right bank, layer 0 to layer 4 in both passes.
TEST(GPUScenes, FlowDotsMoveTowardsTheRightInBothStreamsAndPasses)
{
    using namespace SceneColors;
    struct Case {
        const char* what;
        SceneRoutine draw;
        SceneColor color;
        double time;
        size_t dots;
    };
    const Case cases[] = {
        {"transfer host to device", drawGPUTensorTransfer, cyan, frozenTime, 11},
        {"transfer device stream", drawGPUTensorTransfer, purple, frozenTime, 11},
        {"transfer device stream, live", drawGPUTensorTransfer, purple, liveTime, 11},
        {"bandwidth upper", drawGPUMetalMemoryBandwidth, cyan, frozenTime, 18},
        {"bandwidth lower", drawGPUMetalMemoryBandwidth, purple, liveTime, 18},
        {"forward pass", drawGPUTrainingBackprop, green, frozenTime, 9},
        {"backward pass", drawGPUTrainingBackprop, red, 4.0, 9},
        {"backward pass, live", drawGPUTrainingBackprop, red, liveTime + 3, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto before = dotCentres(record(c.draw, fullSize, c.time), c.color, 6.5);
        const auto after = dotCentres(record(c.draw, fullSize, c.time + 0.02), c.color, 6.5);
        ASSERT_EQ(before.size(), c.dots);
        ASSERT_EQ(after.size(), c.dots);
        size_t rightwards = 0;
        for (size_t j = 0; j < c.dots; ++j) rightwards += after[j].x() > before[j].x();
        EXPECT_GE(rightwards, c.dots - 1);  // one dot may wrap back to the start
    }
}

TEST(GPUScenes, TimeDrivenStatesAtTheFrozenTime)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(fullSize);
    const auto count = [](const std::vector<Op>& ops, const std::function<bool(const Op&)>& match) {
        return std::count_if(ops.begin(), ops.end(), match);
    };
    struct Case {
        const char* what;
        SceneRoutine draw;
        double time;
        std::function<void(const std::vector<Op>&)> check;
    };
    const Case cases[] = {
        {"GEMV active row 6 of 12", drawGPULLMGEMV, frozenTime,
         [&](const std::vector<Op>& ops) {
             const QRectF w(s.left(), s.top() + 0.05 * s.height(), 0.54 * s.width(), 0.9 * s.height());
             const auto it = std::find_if(ops.begin(), ops.end(), [](const Op& op) { return op.lineWidth == 1.4; });
             ASSERT_NE(it, ops.end());
             EXPECT_NEAR(shape(*it).rect.top(), w.top() + 12 + 6 * (w.height() - 24) / 12, 1e-9);
         }},
        {"prefill active row 5", drawGPUAttentionPrefill, frozenTime,
         [&](const std::vector<Op>& ops) {
             const double rowPitch = 0.9 * s.height() / 14;
             std::vector<double> diagonalOnActiveRow;
             for (const Op& op : ops)
                 if (near(op.color.opacity, 0.91)) diagonalOnActiveRow.push_back(shape(op).rect.top());
             ASSERT_EQ(diagonalOnActiveRow.size(), 1u);
             EXPECT_NEAR(diagonalOnActiveRow[0], s.top() + 0.05 * s.height() + 5 * rowPitch + 1, 1e-9);
             // Masked cells keep the floor whatever the row: 91 of 196.
             EXPECT_EQ(count(ops, [](const Op& op) { return near(op.color.opacity, 0.02); }), 91);
         }},
        {"decode focus on key 8", drawGPUAttentionDecode, frozenTime,
         [&](const std::vector<Op>& ops) {
             const auto dots = dotCentres(ops, green, 12);
             ASSERT_EQ(dots.size(), 1u);
             EXPECT_NEAR(dots[0].x(), s.left() + 0.18 * s.width() + 8.5 * 0.72 * s.width() / 28, 1e-9);
         }},
        {"decode weights wrap around the row", drawGPUAttentionDecode, 0.0,
         [&](const std::vector<Op>& ops) {
             std::vector<double> keys;
             for (const Op& op : ops)
                 if (op.kind == Op::Kind::fill && sameRgb(op.color, cyan)) keys.push_back(op.color.opacity);
             ASSERT_EQ(keys.size(), 28u);
             EXPECT_NEAR(keys[0], 0.8, 1e-9);
             EXPECT_NEAR(keys[27], keys[1], 1e-12);
             EXPECT_NEAR(keys[14], 0.12, 1e-12);
         }},
        {"context holds 5 tokens", drawGPUKVContextGrowth, frozenTime,
         [&](const std::vector<Op>& ops) {
             EXPECT_EQ(count(ops, [](const Op& op) { return sameRgb(op.color, cyan) && near(op.color.opacity, 0.58); }),
                       5);
         }},
        {"context never empty", drawGPUKVContextGrowth, 0.0,
         [&](const std::vector<Op>& ops) {
             EXPECT_EQ(count(ops, [](const Op& op) { return sameRgb(op.color, cyan) && near(op.color.opacity, 0.58); }),
                       1);
         }},
        {"cache highlight on the innermost level", drawGPUMetalCacheHierarchy, frozenTime,
         [&](const std::vector<Op>& ops) {
             const auto it = std::find_if(ops.begin(), ops.end(), [](const Op& op) { return op.lineWidth == 2.3; });
             ASSERT_NE(it, ops.end());
             EXPECT_TRUE(sameRgb(it->color, orange));
             EXPECT_NEAR(shape(*it).rect.width(), 0.14 * s.width(), 1e-9);
         }},
        {"loader on stage 4", drawGPUModelLoadPipeline, frozenTime,
         [&](const std::vector<Op>& ops) {
             const QRectF l(s.left() + 0.34 * s.width(), s.top() + 0.22 * s.height(), 0.24 * s.width(),
                            0.56 * s.height());
             const auto it =
                 std::find_if(ops.begin(), ops.end(), [](const Op& op) { return near(op.color.opacity, 0.7); });
             ASSERT_NE(it, ops.end());
             EXPECT_NEAR(shape(*it).rect.top(), l.top() + 16 + (l.height() - 32) * 4 / 5, 1e-9);
         }},
        {"allocator shift 8 marks fragments", drawGPUTensorAllocator, frozenTime,
         [&](const std::vector<Op>& ops) {
             EXPECT_EQ(
                 count(ops, [](const Op& op) { return op.kind == Op::Kind::stroke && near(op.color.opacity, 0.38); }),
                 8);
             // The first block (p = 8) is a fragment: accent at 0.22, its mark right after it.
             EXPECT_NEAR(ops.at(2).color.opacity, 0.22, 1e-12);
             EXPECT_EQ(ops.at(3).kind, Op::Kind::stroke);
         }},
        {"forward pass line runs from layer 0", drawGPUTrainingBackprop, frozenTime,
         [&](const std::vector<Op>& ops) {
             const auto it = std::find_if(ops.begin(), ops.end(), [](const Op& op) {
                 return op.kind == Op::Kind::stroke && near(op.color.opacity, 0.16);
             });
             ASSERT_NE(it, ops.end());
             EXPECT_TRUE(sameRgb(it->color, green));
             EXPECT_LT(shape(*it).points.at(0).x(), shape(*it).points.at(1).x());
         }},
        {"INT8 tiles take eight levels", drawGPUComputeMatrixINT8, frozenTime,
         [&](const std::vector<Op>& ops) {
             int tiles = 0;
             for (const Op& op : ops) {
                 if (op.kind != Op::Kind::fill || !sameRgb(op.color, green) || shape(op).kind != Kind::roundedRect)
                     continue;
                 ++tiles;
                 const double level = (op.color.opacity - 0.08) / 0.78 * 8;
                 EXPECT_NEAR(level, std::round(level), 1e-9);
             }
             EXPECT_EQ(tiles, 100);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.check(record(c.draw, fullSize, c.time));
    }
}

// The canvas has a routine for every style: each draws over the background, and these 22 through the
// routine of their own style.
TEST(GPUScenes, EveryStyleOfTheDispatchDrawsMoreThanTheBackground)
{
    for (const AIVisualizationStyle& style : allVisualizationStyles()) {
        SCOPED_TRACE(styleName(style));
        for (const double time : {frozenTime, liveTime}) {
            RecordingSceneContext scene;
            AIVisualizationCanvas::drawScene(scene, style, fullSize, time);
            EXPECT_FALSE(scene.operations().empty());
        }
    }
    for (const Scene& scene : gpuScenes) {
        RecordingSceneContext dispatched;
        AIVisualizationCanvas::drawScene(dispatched, AIVisualizationStyle::gpu(scene.style), fullSize, frozenTime);
        EXPECT_TRUE(dispatched.operations() == record(scene.draw, fullSize, frozenTime)) << scene.name();
    }
}
