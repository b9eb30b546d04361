#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/GPUSceneParts.h"

#include <cmath>
#include <numbers>

namespace korvalen::scene {

void drawGPUMetalCommandQueues(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();
    const QRectF queue(s.left(), s.top(), 0.6 * s.width(), s.height());
    const QRectF gpu(s.left() + 0.7 * s.width(), s.top() + 0.18 * s.height(), 0.28 * s.width(), 0.64 * s.height());
    drawPanel(context, queue, accent);
    drawCoreUnit(context, gpu, 6, 6, accent, time);

    const QPointF gpuInlet(gpu.left(), gpu.center().y());
    for (int i = 0; i < 4; ++i) {
        const double y = queue.top() + queue.height() * (0.16 + 0.22 * i);
        strokeLine(context, {queue.left() + 14, y}, {queue.right() - 14, y}, SceneColors::white.withOpacity(0.1), 1);
        // Lower lanes run faster and are more opaque.
        const SceneColor packet = accent.withOpacity(0.32 + 0.12 * (i + 1));
        for (int j = 0; j < 7; ++j) {
            const double f = fract(0.09 * i + time * (0.32 + 0.05 * i) + j / 7.0);
            const double x = queue.left() + 18 + f * (queue.width() - 36);
            fillRoundedRect(context, QRectF(x - 10, y - 7, 20, 14), 4, packet);
        }
        drawStream(context, {queue.right(), y}, gpuInlet, accent, 3, 0.85, 0.16 * i, 2.4, time);
    }
}

void drawGPUMetalMemoryBandwidth(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const QRectF a(s.left(), s.top() + 0.14 * s.height(), 0.22 * s.width(), 0.72 * s.height());
    const QRectF b(s.right() - 0.22 * s.width(), s.top() + 0.14 * s.height(), 0.22 * s.width(), 0.72 * s.height());
    drawPanel(context, a, cyan);
    drawPanel(context, b, purple);
    for (int k = 0; k < 8; ++k) {
        const double y = a.top() + 10 + (a.height() - 20) * k / 8;
        const double opacity = 0.18 + 0.05 * (k % 4);
        fillRoundedRect(context, QRectF(a.left() + 10, y, a.width() - 20, 12), 3, cyan.withOpacity(opacity));
        fillRoundedRect(context, QRectF(b.left() + 10, y, b.width() - 20, 12), 3, purple.withOpacity(opacity));
    }

    // The lower stream is measured from the right bank with a fraction that runs backwards in time, so
    // its dots, too, travel from the left bank to the right one.
    const double upperY = s.center().y() - 0.12 * s.height();
    const double lowerY = s.center().y() + 0.12 * s.height();
    drawStream(context, {a.right(), upperY}, {b.left(), upperY}, cyan, 18, 1.15, 0, 2.2, time);
    drawStream(context, {b.left(), lowerY}, {a.right(), lowerY}, purple, 18, -1.1, 0, 2.2, time);

    const double barWidth = s.width() * (0.35 + 0.1 * std::sin(0.88 * time));
    fillRoundedRect(context, QRectF(s.center().x() - barWidth / 2, s.bottom() - 20, barWidth, 7), 3.5,
                    context.accent().withOpacity(0.72));
}

void drawGPUMetalCacheHierarchy(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    static constexpr double scales[5] = {0.14, 0.26, 0.40, 0.54, 0.68};
    static constexpr SceneColor colors[5] = {orange, yellow, cyan, blue, purple};
    const auto level = [&](int k) {
        const double width = scales[k] * s.width();
        const double height = scales[k] * s.height();
        return ScenePath::roundedRect(QRectF(s.center().x() - width / 2, s.center().y() - height / 2, width, height),
                                      16 + 3 * k);
    };

    // Outermost first, so the smallest level lies on top.
    for (int k = 4; k >= 0; --k) {
        const ScenePath outline = level(k);
        context.fill(outline, colors[k].withOpacity(0.045 + 0.018 * k));
        context.stroke(outline, colors[k].withOpacity(0.28), 1);
    }

    // The highlight steps outwards, one level every 1/0.52 s.
    const std::int64_t highlighted = timeIndex(std::fmod(0.52 * time, 5.0));
    if (highlighted >= 0 && highlighted <= 4) {
        const int k = static_cast<int>(highlighted);
        context.stroke(level(k), colors[k].withOpacity(0.92), 2.3);
    }

    const SceneColor particle = context.accent().withOpacity(0.58);
    for (int j = 0; j < 18; ++j) {
        const double radius = s.height() * (0.08 + 0.28 * noiseValue(j, 810));
        const double theta = 0.75 * time + 2 * std::numbers::pi * j / 18;
        const QPointF centre(s.center().x() + 1.8 * radius * std::cos(theta),
                             s.center().y() + radius * std::sin(theta));
        fillCircle(context, centre, 2.4, particle);
    }
}

void drawGPUMetalSustainedTelemetry(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const QRectF chart(s.left(), s.top(), 0.68 * s.width(), s.height());
    const QRectF gauges(s.left() + 0.73 * s.width(), s.top(), 0.27 * s.width(), s.height());
    drawPanel(context, chart, red, 0.12);
    drawPanel(context, gauges, orange);

    // The green trace stays high and sags gently; the orange one climbs; their ripples drift apart.
    const auto trace = [&](auto level) {
        ScenePath path;
        for (int i = 0; i < 80; ++i) {
            const double u = i / 79.0;
            const QPointF point(chart.left() + 12 + u * (chart.width() - 24),
                                chart.bottom() - 16 - (chart.height() - 32) * level(u));
            if (i == 0)
                path.moveTo(point);
            else
                path.lineTo(point);
        }
        return path;
    };
    context.stroke(trace([&](double u) { return 0.88 - 0.08 * u + 0.035 * std::sin(0.7 * time + 18 * u); }),
                   green.withOpacity(0.82), 2);
    context.stroke(trace([&](double u) { return 0.28 + 0.52 * u + 0.04 * std::sin(12 * u - 0.35 * time); }),
                   orange.withOpacity(0.72), 1.6);

    for (int k = 0; k < 5; ++k) {
        const QRectF track(gauges.left() + 18, gauges.top() + 22 + (gauges.height() - 44) * k / 5, gauges.width() - 36,
                           12);
        fillRoundedRect(context, track, 6, white.withOpacity(0.07));
        const double v = noiseValue(k, 1060);
        const double fill = 0.58 + 0.34 * v * (0.88 + 0.12 * std::sin(0.7 * time + k));
        fillRoundedRect(context, QRectF(track.left(), track.top(), track.width() * fill, 12), 6,
                        (k <= 2 ? red : orange).withOpacity(0.58));
    }
}

}  // namespace korvalen::scene
