#include "Visualization/SceneDrawing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace korvalen::scene {

double noiseValue(std::int64_t index, std::int64_t seed)
{
    // Unsigned arithmetic: seed + index wraps modulo 2^64 instead of overflowing.
    std::uint64_t z = 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(seed) + static_cast<std::uint64_t>(index);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    const std::uint64_t v = (z ^ (z >> 31)) & 0xFFFFull;
    return static_cast<double>(v) / 65535.0;
}

double fract(double x)
{
    return x - std::floor(x);
}

double rem(double x, double divisor)
{
    return std::fmod(x, divisor);
}

std::int64_t timeIndex(double x)
{
    if (std::isnan(x)) return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (x >= limit) return std::numeric_limits<std::int64_t>::max();
    if (x <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

QRectF sceneArea(QSizeF size)
{
    const double w = size.width(), h = size.height();
    return QRectF(0.075 * w, 0.17 * h, 0.85 * w, 0.66 * h);
}

void drawBackground(SceneContext& context, QSizeF size, double time)
{
    const double w = size.width(), h = size.height();
    context.fill(ScenePath::rect(QRectF(0, 0, w, h)), SceneColor::srgb(0.018, 0.024, 0.038));

    const double gridOpacity = (std::sin(0.9 * time) * 0.5 + 0.5) * 0.025 + 0.04;
    for (int i = 0; i <= 17; ++i) {
        const double x = w * i / 17.0;
        context.stroke(ScenePath::line({x, 0}, {x, h}), SceneColors::white.withOpacity(gridOpacity), 0.7);
    }
    for (int i = 0; i <= 10; ++i) {
        const double y = h * i / 10.0;
        context.stroke(ScenePath::line({0, y}, {w, y}), SceneColors::white.withOpacity(0.028), 0.7);
    }

    const double radius = 0.36 * std::min(w, h);
    const QPointF centre(w * (0.72 + 0.05 * std::sin(0.31 * time)), h * (0.36 + 0.05 * std::cos(0.27 * time)));
    context.fill(ScenePath::circle(centre, radius), context.accent().withOpacity(0.055));
}

void drawImagePlate(SceneContext& context, const QRectF& rect, double time, bool pixelated)
{
    const double minX = rect.left(), minY = rect.top(), W = rect.width(), H = rect.height();
    const double maxX = minX + W, maxY = minY + H;
    const double corner = 0.035 * std::min(W, H);
    const ScenePath outline = ScenePath::roundedRect(rect, corner);
    context.fill(outline, SceneColor::srgb(0.035, 0.075, 0.115));

    const double horizon = minY + 0.58 * H;
    const QPointF sun(minX + (0.72 + 0.02 * std::sin(0.42 * time)) * W, minY + 0.26 * H);
    context.fill(ScenePath::circle(sun, 0.085 * H), SceneColors::yellow.withOpacity(0.82));

    ScenePath hills;
    hills.moveTo({minX, horizon})
        .lineTo({minX + 0.22 * W, minY + 0.34 * H})
        .lineTo({minX + 0.41 * W, horizon})
        .lineTo({minX + 0.58 * W, minY + 0.42 * H})
        .lineTo({maxX, horizon})
        .lineTo({maxX, maxY})
        .lineTo({minX, maxY})
        .close();
    context.fill(hills, SceneColor::srgb(0.1, 0.32, 0.35));
    context.fill(ScenePath::rect(QRectF(minX, horizon, W, maxY - horizon)), SceneColor::srgb(0.035, 0.18, 0.16));

    const double blockX = minX + (0.18 + 0.55 * (0.5 + 0.5 * std::sin(2 * std::numbers::pi * 0.31 * time))) * W;
    context.fill(ScenePath::roundedRect(QRectF(blockX, horizon - 0.1 * H, 0.1 * W, 0.17 * H), 0.45 * corner),
                 SceneColor::srgb(0.88, 0.36, 0.22));

    if (pixelated) {
        constexpr int columns = 22, rows = 13;
        const double cw = W / columns, ch = H / rows;
        for (int r = 0; r < rows; ++r) {
            for (int k = 0; k < columns; ++k) {
                if ((r + k) % 3 != 0) continue;
                const double opacity = 0.05 + 0.1 * noiseValue(r * columns + k, 0);
                context.fill(ScenePath::rect(QRectF(minX + k * cw, minY + r * ch, cw + 0.5, ch + 0.5)),
                             SceneColors::black.withOpacity(opacity));
            }
        }
    }

    context.stroke(outline, SceneColors::white.withOpacity(0.14), 1);
}

void drawPanel(SceneContext& context, const QRectF& rect, const SceneColor& color, double fillOpacity)
{
    const ScenePath outline = ScenePath::roundedRect(rect, 0.055 * std::min(rect.width(), rect.height()));
    context.fill(outline, SceneColors::black.withOpacity(fillOpacity));
    context.stroke(outline, color.withOpacity(0.36), 1);
}

void drawTileMatrix(SceneContext& context, const QRectF& panel, double inset, int rows, int columns,
                    const SceneColor& color, double tau, double phi, std::int64_t seed)
{
    if (rows <= 0 || columns <= 0) return;
    const QRectF inner = panel.adjusted(inset, inset, -inset, -inset);
    constexpr double gap = 2;
    const double tw = (inner.width() - gap * (columns - 1)) / columns;
    const double th = (inner.height() - gap * (rows - 1)) / rows;
    const double radius = 0.12 * std::min(tw, th);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const double wave = 0.5 + 0.5 * std::sin(1.8 * tau + phi + 0.47 * r + 0.31 * c);
            const double v = 0.55 * wave + 0.45 * noise(seed, std::int64_t(r) * columns + c);
            const QRectF tile(inner.left() + c * (tw + gap), inner.top() + r * (th + gap), tw, th);
            context.fill(ScenePath::roundedRect(tile, radius), color.withOpacity(0.08 + 0.78 * v));
        }
    }
}

void drawFlowDot(SceneContext& context, QPointF centre, double fraction, double baseRadius, const SceneColor& color)
{
    const double a = 0.55 + 0.45 * std::sin(std::numbers::pi * fraction);
    context.fill(ScenePath::circle(centre, baseRadius * (0.75 + 0.25 * a)), color.withOpacity(0.45 + 0.48 * a));
}

void drawFlowDots(SceneContext& context, QPointF from, QPointF to, const SceneColor& color, int count, double rate,
                  double offset, double time)
{
    context.stroke(ScenePath::line(from, to), color.withOpacity(0.16), 1);
    for (int j = 0; j < count; ++j) {
        const double p = fract(rate * time + double(j) / count + offset);
        drawFlowDot(context, from + p * (to - from), p, 3, color);
    }
}

}  // namespace korvalen::scene
