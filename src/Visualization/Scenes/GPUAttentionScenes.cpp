#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/GPUSceneParts.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace korvalen::scene {

void drawGPUAttentionPrefill(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    const QRectF matrix(s.left() + 0.3 * s.width(), s.top() + 0.05 * s.height(), 0.62 * s.width(), 0.9 * s.height());
    drawPanel(context, matrix, accent, 0.1);

    // Causal mask: a query row sees only keys at or left of the diagonal, strongest near it.
    const std::int64_t activeRow = timeIndex(std::fmod(4 * time, 14.0));
    const double cellWidth = matrix.width() / 14;
    const double cellHeight = matrix.height() / 14;
    for (int r = 0; r < 14; ++r) {
        const double bonus = r == activeRow ? 0.25 : 0;
        for (int c = 0; c < 14; ++c) {
            const double opacity = c > r ? 0.02 : bonus + 0.08 + 0.58 * std::max(0.0, 1 - 0.125 * (r - c));
            const QRectF cell(matrix.left() + c * cellWidth + 1, matrix.top() + r * cellHeight + 1, cellWidth - 2,
                              cellHeight - 2);
            fillRoundedRect(context, cell, 1.5, accent.withOpacity(opacity));
        }
    }

    static constexpr SceneColor sources[3] = {cyan, purple, green};
    const QPointF inlet(matrix.left(), matrix.center().y());
    for (int k = 0; k < 3; ++k) {
        const QPointF centre(s.left() + 0.04 * s.width(), s.top() + s.height() * (0.25 + 0.25 * k));
        fillCircle(context, centre, 10, sources[k].withOpacity(0.55));
        drawStream(context, centre, inlet, sources[k], 6, 0.8, 0.22 * k, 3, time);
    }
}

void drawGPUAttentionDecode(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    const QRectF keys(s.left() + 0.18 * s.width(), s.top() + 0.18 * s.height(), 0.72 * s.width(), 0.64 * s.height());
    drawPanel(context, keys, cyan, 0.1);

    const std::int64_t focus = timeIndex(std::fmod(6 * time, 28.0));
    const double pitch = keys.width() / 28;
    for (int i = 0; i < 28; ++i) {
        const double height = keys.height() * (0.22 + 0.65 * noiseValue(i, 960));
        // Distance around the row: the keys wrap, so key 27 neighbours key 0.
        const std::int64_t apart = std::llabs(i - focus);
        const double distance = static_cast<double>(std::min<std::int64_t>(apart, 28 - apart));
        const double weight = std::max(0.0, 0.68 - 0.09 * distance);
        const QRectF bar(keys.left() + pitch * i + 1, keys.center().y() - height / 2, std::max(pitch - 2, 2.0), height);
        fillRoundedRect(context, bar, 2, cyan.withOpacity(weight + 0.12));
    }

    const QPointF query(s.left() + 0.07 * s.width(), s.center().y());
    fillCircle(context, query, 15, accent.withOpacity(0.72));
    const QPointF focusPoint(keys.left() + (static_cast<double>(focus) + 0.5) * pitch, keys.center().y());
    strokeLine(context, query, focusPoint, accent.withOpacity(0.66), 2);
    fillCircle(context, focusPoint, 6, green.withOpacity(0.82));
}

void drawGPUKVCacheTraffic(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    const QPointF centre = s.center();
    const double radius = 0.34 * std::min(s.width(), s.height());
    const auto ring = [&](double phi) {
        return QPointF(centre.x() + 1.45 * radius * std::cos(phi), centre.y() + radius * std::sin(phi));
    };

    // Block 0 at the top, then clockwise (y grows downwards).
    for (int i = 0; i < 24; ++i) {
        const QPointF block = ring(2 * std::numbers::pi * i / 24 - std::numbers::pi / 2);
        const SceneColor color = i % 2 == 0 ? cyan : purple;
        fillRoundedRect(context, QRectF(block.x() - 8, block.y() - 5, 16, 10), 3,
                        color.withOpacity(0.28 + 0.38 * noiseValue(i, 1000)));
    }
    const QPointF readHead = ring(0.95 * time);
    const QPointF writeHead = ring(std::numbers::pi - 0.68 * time);
    fillCircle(context, readHead, 9, green.withOpacity(0.82));
    fillCircle(context, writeHead, 9, orange.withOpacity(0.82));

    const QRectF gpu(centre.x() - 0.1 * s.width(), centre.y() - 0.18 * s.height(), 0.2 * s.width(), 0.36 * s.height());
    drawCoreUnit(context, gpu, 5, 4, accent, time);

    // Reads travel from the ring into the GPU, writes from the GPU out to the ring.
    drawStream(context, readHead, centre, green, 5, 0.76, 0, 3, time);
    drawStream(context, centre, writeHead, orange, 5, 0.76, 0.4, 3, time);
}

void drawGPUKVContextGrowth(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    drawPanel(context, s, cyan, 0.1);

    // The filled context grows from 1 to 31 tokens and starts again; it is never empty.
    const std::int64_t filled = std::clamp<std::int64_t>(timeIndex(fract(0.12 * time) * 32), 1, 31);
    const double unit = (s.width() - 32 - 93) / 32;
    const double barWidth = std::max(unit, 2.0);
    const auto columnX = [&](std::int64_t i) { return s.left() + 16 + (unit + 3) * static_cast<double>(i); };
    for (int i = 0; i < 32; ++i) {
        const double x = columnX(i);
        const bool isFilled = i < filled;
        const double keyHeight = s.height() * (0.22 + 0.42 * noiseValue(i, 1150));
        fillRoundedRect(context, QRectF(x, s.center().y() - keyHeight - 4, barWidth, keyHeight), 2,
                        cyan.withOpacity(isFilled ? 0.58 : 0.08));
        const double valueHeight = s.height() * (0.18 + 0.38 * noiseValue(i, 1190));
        fillRoundedRect(context, QRectF(x, s.center().y() + 4, barWidth, valueHeight), 2,
                        purple.withOpacity(isFilled ? 0.5 : 0.07));
    }
    fillCircle(context, {columnX(filled - 1) + unit / 2, s.center().y()}, 6, green.withOpacity(0.82));
}

}  // namespace korvalen::scene
