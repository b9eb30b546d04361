#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/GPUSceneParts.h"

#include <algorithm>
#include <cmath>

namespace korvalen::scene {

namespace {

QPointF rightMid(const QRectF& rect)
{
    return {rect.right(), rect.center().y()};
}

QPointF leftMid(const QRectF& rect)
{
    return {rect.left(), rect.center().y()};
}

// The tile matrix with every value quantized to eight levels, as an INT8 tensor would hold it.
void drawQuantizedTileMatrix(SceneContext& context, const QRectF& panel, double inset, int rows, int columns,
                             const SceneColor& color, double tau, double phi, std::int64_t seed)
{
    const QRectF inner = panel.adjusted(inset, inset, -inset, -inset);
    const double tileWidth = (inner.width() - 2.0 * (columns - 1)) / columns;
    const double tileHeight = (inner.height() - 2.0 * (rows - 1)) / rows;
    const double radius = 0.12 * std::min(tileWidth, tileHeight);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const double v = 0.55 * (0.5 + 0.5 * std::sin(1.8 * tau + phi + 0.47 * r + 0.31 * c)) +
                             0.45 * noise(seed, r * columns + c);
            const double quantized = std::floor(8 * v) / 8;
            const QRectF tile(inner.left() + c * (tileWidth + 2), inner.top() + r * (tileHeight + 2), tileWidth,
                              tileHeight);
            fillRoundedRect(context, tile, radius, color.withOpacity(0.08 + 0.78 * quantized));
        }
    }
}

}  // namespace

void drawGPUComputeMatrixFP32(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    const double y = s.top() + 0.16 * s.height();
    const double height = 0.68 * s.height();
    const QRectF a(s.left(), y, 0.25 * s.width(), height);
    const QRectF b(s.left() + 0.36 * s.width(), y, 0.25 * s.width(), height);
    const QRectF c(s.left() + 0.74 * s.width(), y, 0.26 * s.width(), height);

    drawPanel(context, a, orange);
    drawPanel(context, b, cyan);
    drawPanel(context, c, accent);
    drawTileMatrix(context, a, 10, 7, 7, orange, time, 0.2, 20);
    drawTileMatrix(context, b, 10, 7, 7, cyan, time, 1.6, 161);
    drawTileMatrix(context, c, 10, 7, 7, accent, time, 3.1, 313);
    drawFlowDots(context, rightMid(a), leftMid(b), orange, 6, 0.72, 0, time);
    drawFlowDots(context, rightMid(b), leftMid(c), cyan, 6, 0.72, 0.37, time);
}

void drawGPUComputeMatrixFP16(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    drawPanel(context, s, blue, 0.12);

    for (int i = 0; i < 8; ++i) {
        const double y = s.top() + 22 + (s.height() - 44) * i / 7;
        strokeLine(context, {s.left() + 18, y}, {s.right() - 18, y}, blue.withOpacity(0.12), 1);
        const SceneColor packet = (i % 2 == 0 ? blue : purple).withOpacity(0.62);
        for (int j = 0; j < 9; ++j) {
            // Neighbouring lanes lag by 0.037 of a cycle, so the packets form a slanted front.
            const double p = fract(0.037 * i + 0.55 * time + j / 9.0);
            const double x = s.left() + 20 + (s.width() - 40) * p - 7;
            fillRoundedRect(context, QRectF(x, y - 5, 14, 10), 2.5, packet);
        }
    }

    // Drawn after the lanes, so it covers the packets passing behind it.
    const QRectF unit(s.center().x() - 0.1 * s.width(), s.center().y() - 0.22 * s.height(), 0.2 * s.width(),
                      0.44 * s.height());
    drawCoreUnit(context, unit, 6, 4, blue, time);
}

void drawGPUComputeMatrixINT8(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const double y = s.top() + 0.08 * s.height();
    const QRectF l(s.left(), y, 0.42 * s.width(), 0.84 * s.height());
    const QRectF q(s.left() + 0.6 * s.width(), y, 0.4 * s.width(), 0.84 * s.height());

    drawPanel(context, l, green);
    drawPanel(context, q, orange);
    drawQuantizedTileMatrix(context, l, 12, 10, 10, green, time, 2.0, 202);

    // Even bars grow right from the midline, odd bars left.
    for (int i = 0; i < 8; ++i) {
        const double length = (0.35 + 0.55 * noise(600, i)) * 0.38 * q.width();
        const double barY = q.top() + 20 + (q.height() - 40) * i / 7 - 5;
        const double x = i % 2 == 0 ? q.center().x() : q.center().x() - length;
        const SceneColor color = i % 2 == 0 ? orange : cyan;
        fillRoundedRect(context, QRectF(x, barY, length, 10), 5, color.withOpacity(0.62 + 0.18 * std::sin(time + i)));
    }
    drawFlowDots(context, rightMid(l), leftMid(q), green, 8, 0.82, 0, time);
}

void drawGPUComputeConvolution(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    const double y = s.top() + 0.08 * s.height();
    const QRectF in(s.left(), y, 0.48 * s.width(), 0.84 * s.height());
    const QRectF out(s.left() + 0.62 * s.width(), y, 0.38 * s.width(), 0.84 * s.height());

    drawPanel(context, in, cyan);
    drawPanel(context, out, accent);
    drawTileMatrix(context, in, 12, 10, 10, cyan, 0.45 * time, 0.7, 70);
    drawTileMatrix(context, out, 12, 8, 8, accent, 0.62 * time, 2.4, 242);

    // The two axes run at different rates, so the window sweeps the input in a slowly changing pattern.
    const double k = 0.22 * in.width();
    const QRectF window(in.left() + 14 + fract(0.2 * time) * (in.width() - k - 28),
                        in.top() + 14 + fract(0.13 * time) * (in.height() - k - 28), k, k);
    strokeRoundedRect(context, window, 6, white.withOpacity(0.82), 2);
    drawFlowDots(context, rightMid(window), leftMid(out), accent, 5, 0.9, 0, time);
}

void drawGPUComputeSoftmaxNorm(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const QRectF l(s.left(), s.top(), 0.43 * s.width(), s.height());
    const QRectF n(s.left() + 0.55 * s.width(), s.top(), 0.45 * s.width(), s.height());

    drawPanel(context, l, orange);
    drawPanel(context, n, green);

    // The pitch divides by 12, not 11: the last bar stands one pitch above the bottom margin.
    for (int i = 0; i < 12; ++i) {
        const double length =
            (0.85 + 0.15 * std::sin(0.9 * time + i / 2.0)) * (0.15 + 0.8 * noise(700, i)) * 0.78 * l.width();
        const double y = l.top() + 15 + (l.height() - 30) * i / 12;
        fillRoundedRect(context, QRectF(l.left() + 14, y, length, 8), 4, orange.withOpacity(0.48));
    }

    ScenePath curve;
    for (int j = 0; j < 80; ++j) {
        const double u = j / 79.0;
        const double z = 4 * (u - 0.5);
        const QPointF point(n.left() + u * n.width(), n.bottom() - 22 - 0.7 * n.height() * std::exp(-0.5 * z * z));
        if (j == 0)
            curve.moveTo(point);
        else
            curve.lineTo(point);
    }
    context.stroke(curve, green.withOpacity(0.85), 2);

    context.fill(ScenePath::rect(QRectF(n.left() + fract(0.18 * time) * n.width(), n.top() + 10, 2, n.height() - 20)),
                 context.accent().withOpacity(0.45));
}

void drawGPUComputeFusedTensor(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    drawPanel(context, s, accent, 0.1);

    const QPointF nodes[5] = {
        {s.left() + 0.1 * s.width(), s.center().y()},
        {s.left() + 0.3 * s.width(), s.top() + 0.32 * s.height()},
        {s.left() + 0.48 * s.width(), s.top() + 0.68 * s.height()},
        {s.left() + 0.66 * s.width(), s.top() + 0.34 * s.height()},
        {s.left() + 0.88 * s.width(), s.center().y()},
    };
    for (int i = 0; i < 4; ++i)
        drawFlowDots(context, nodes[i], nodes[i + 1], i % 2 == 0 ? orange : accent, 5, 0.74 + 0.05 * i, 0.19 * i, time);
    for (int i = 0; i < 5; ++i) {
        const double radius = (i == 0 || i == 4) ? 16 : 20;
        const SceneColor color = i % 2 == 0 ? orange : accent;
        const ScenePath disc = ScenePath::circle(nodes[i], radius);
        context.fill(disc, color.withOpacity(0.4 + 0.12 * (0.5 + 0.5 * std::sin(1.4 * time + i))));
        context.stroke(disc, white.withOpacity(0.15), 1);
    }
}

}  // namespace korvalen::scene
