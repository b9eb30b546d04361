#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/GPUSceneParts.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace korvalen::scene {

void drawGPUTrainingBackprop(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    drawPanel(context, s, red, 0.1);

    static constexpr int layerNodes[5] = {4, 6, 7, 5, 3};
    static constexpr double layerX[5] = {0.1, 0.3, 0.5, 0.7, 0.9};
    const auto node = [&](int layer, int j) {
        return QPointF(s.left() + layerX[layer] * s.width(), s.top() + s.height() * j / (layerNodes[layer] + 1));
    };
    for (int layer = 0; layer < 5; ++layer) {
        const SceneColor color = (layer % 2 == 0 ? orange : red).withOpacity(0.56);
        for (int j = 1; j <= layerNodes[layer]; ++j) fillCircle(context, node(layer, j), 5, color);
    }
    // Each node feeds only the first three nodes of the next layer.
    for (int layer = 0; layer < 4; ++layer) {
        const int targets = std::min(3, layerNodes[layer + 1]);
        for (int j = 1; j <= layerNodes[layer]; ++j)
            for (int m = 1; m <= targets; ++m)
                strokeLine(context, node(layer, j), node(layer + 1, m), white.withOpacity(0.035), 0.7);
    }

    // The backward pass runs its line from the last layer with a fraction that runs backwards in time, so
    // the dots keep moving towards the last layer; only the colour and the line's direction change.
    const bool forward = rem(0.36 * time, 2) < 1;
    const QPointF first(s.left() + layerX[0] * s.width(), s.center().y());
    const QPointF last(s.left() + layerX[4] * s.width(), s.center().y());
    if (forward)
        drawStream(context, first, last, green, 9, 0.62, 0, 3.2, time);
    else
        drawStream(context, last, first, red, 9, -0.62, 0, 3.2, time);

    const double lossWidth = s.width() * (0.18 + 0.16 * std::exp(-std::fmod(0.35 * time, 3.0)));
    fillRoundedRect(context, QRectF(s.right() - lossWidth - 12, s.top() + 12, lossWidth, 7), 3.5,
                    green.withOpacity(0.68));
}

void drawGPUTensorTransfer(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const QRectF host(s.left(), s.top() + 0.12 * s.height(), 0.24 * s.width(), 0.76 * s.height());
    const QRectF device(s.right() - 0.24 * s.width(), s.top() + 0.12 * s.height(), 0.24 * s.width(), 0.76 * s.height());
    drawPanel(context, host, cyan);
    drawPanel(context, device, purple);
    for (int k = 0; k < 7; ++k) {
        const double opacity = 0.18 + 0.04 * k;
        for (const auto& [panel, color] : {std::pair{host, cyan}, std::pair{device, purple}}) {
            const QRectF row(panel.left() + 12, panel.top() + 14 + (panel.height() - 28) * k / 7, panel.width() - 24,
                             13);
            fillRoundedRect(context, row, 3, color.withOpacity(opacity));
        }
    }

    // The lower stream is measured from the device with a fraction running backwards in time: both
    // streams move from the host towards the device.
    const double upperY = s.center().y() - 0.1 * s.height();
    const double lowerY = s.center().y() + 0.1 * s.height();
    drawStream(context, {host.right(), upperY}, {device.left(), upperY}, cyan, 11, 0.95, 0, 3, time);
    drawStream(context, {device.left(), lowerY}, {host.right(), lowerY}, purple, 11, -0.95, 0, 3, time);

    const QRectF bus(host.right() + 0.07 * s.width(), s.center().y() - 13,
                     device.left() - host.right() - 0.14 * s.width(), 26);
    strokeRoundedRect(context, bus, 8, context.accent().withOpacity(0.34), 1.4);
}

void drawGPUModelLoadPipeline(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const QRectF storage(s.left(), s.top() + 0.22 * s.height(), 0.19 * s.width(), 0.56 * s.height());
    const QRectF loader(s.left() + 0.34 * s.width(), s.top() + 0.22 * s.height(), 0.24 * s.width(), 0.56 * s.height());
    const QRectF gpu(s.left() + 0.75 * s.width(), s.top() + 0.18 * s.height(), 0.23 * s.width(), 0.64 * s.height());
    drawPanel(context, storage, gray);
    drawPanel(context, loader, orange);
    drawCoreUnit(context, gpu, 5, 5, context.accent(), time);

    static constexpr double shelfOpacity[3] = {0.16, 0.22, 0.28};
    for (int j = 0; j < 6; ++j) {
        const QRectF shelf(storage.left() + 12, storage.top() + 12 + (storage.height() - 24) * j / 6,
                           storage.width() - 24, 12);
        fillRoundedRect(context, shelf, 6, gray.withOpacity(shelfOpacity[j % 3]));
    }

    // 3.4 slots a second, wrapping after the fifth.
    const std::int64_t activeStage = timeIndex(std::fmod(3.4 * time, 5.0));
    for (int j = 0; j < 5; ++j) {
        const QRectF slot(loader.left() + 14, loader.top() + 16 + (loader.height() - 32) * j / 5, loader.width() - 28,
                          15);
        fillRoundedRect(context, slot, 4, orange.withOpacity(j == activeStage ? 0.7 : 0.16));
    }

    drawStream(context, {storage.right(), storage.center().y()}, {loader.left(), loader.center().y()}, gray, 7, 0.7, 0,
               3, time);
    drawStream(context, {loader.right(), loader.center().y()}, {gpu.left(), gpu.center().y()}, orange, 9, 0.86, 0.25, 3,
               time);
}

void drawGPUTensorAllocator(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    drawPanel(context, s, accent, 0.1);

    // Six steps a second through a pattern of 11; reduced first so the sum below cannot overflow.
    const std::int64_t shift = (timeIndex(6 * time) % 11 + 11) % 11;
    const double blockWidth = (s.width() - 28 - 55) / 12;
    const double blockHeight = (s.height() - 28 - 30) / 7;
    for (int r = 0; r < 7; ++r) {
        for (int c = 0; c < 12; ++c) {
            const std::int64_t p = (12 * r + c + shift) % 11;
            const SceneColor color = p % 3 == 0 ? cyan : accent;
            const double opacity = p < 6 ? 0.58 : p <= 8 ? 0.22 : 0.06;
            const QRectF block(s.left() + 14 + c * (blockWidth + 5), s.top() + 14 + r * (blockHeight + 5), blockWidth,
                               blockHeight);
            fillRoundedRect(context, block, 3, color.withOpacity(opacity));
            if (p == 8) strokeRoundedRect(context, block.adjusted(2, 2, -2, -2), 2, white.withOpacity(0.38), 1);
        }
    }

    const double x = s.left() + 14 + (s.width() - 28) * fract(0.17 * time);
    context.fill(ScenePath::rect(QRectF(x, s.top() + 8, 2, s.height() - 16)), green.withOpacity(0.44));
}

void drawGPUBatchScaling(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    const QRectF throughput(s.left() + 0.7 * s.width(), s.top() + 0.1 * s.height(), 0.28 * s.width(), 0.8 * s.height());
    drawPanel(context, throughput, green);

    static constexpr int batchSizes[5] = {1, 2, 4, 8, 16};
    const double x0 = s.left() + 0.03 * s.width();
    const double x1 = s.left() + 0.62 * s.width();
    for (int b = 0; b < 5; ++b) {
        const double y = s.top() + s.height() * (0.12 + 0.18 * b);
        strokeLine(context, {x0, y}, {x1, y}, white.withOpacity(0.08), 1);
        // Larger batches run faster with bigger items; at most ten are shown.
        const int items = std::min(batchSizes[b], 10);
        const SceneColor itemColor = (b < 2 ? cyan : accent).withOpacity(0.52);
        for (int k = 0; k < items; ++k) {
            const double f = fract(time * (0.22 + 0.06 * b) + static_cast<double>(k) / items);
            fillCircle(context, {x0 + f * (x1 - x0), y}, b + 3, itemColor);
        }
        const QRectF bar(throughput.left() + 12, throughput.top() + 16 + (throughput.height() - 32) * b / 5,
                         std::min(0.55 + 0.09 * b, 0.94) * (throughput.width() - 24), 10);
        fillRoundedRect(context, bar, 5, green.withOpacity(0.36 + 0.1 * b));
    }
}

}  // namespace korvalen::scene
