#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/SceneFamilyI.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvalen::scene {

namespace {

constexpr double pi = std::numbers::pi;

}  // namespace

void drawClassification(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();
    const SceneColor accent = context.accent();

    drawImagePlate(context, QRectF(x, y, 0.64 * w, h), time, false);

    const double cardX = x + 0.64 * w + 0.025 * w;
    const QRectF card(cardX, y, p.right() - cardX, h);
    context.fill(ScenePath::roundedRect(card, 14), SceneColors::black.withOpacity(0.38));

    constexpr double confidences[] = {0.92, 0.73, 0.48, 0.29};
    for (int k = 0; k < 4; ++k) {
        const QRectF track(card.x() + 18, card.y() + (0.17 + 0.19 * k) * card.height(), card.width() - 36, 11);
        context.fill(ScenePath::roundedRect(track, 5.5), SceneColors::white.withOpacity(0.08));
        const double length = (0.94 + 0.04 * std::sin(1.4 * time + k)) * confidences[k] * track.width();
        context.fill(ScenePath::roundedRect(QRectF(track.x(), track.y(), length, 11), 5.5),
                     accent.withOpacity(0.75 - 0.1 * k));
    }
}

void drawObjectDetection(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();
    const SceneColor accent = context.accent();

    drawImagePlate(context, p, time, false);

    // Same phase and fractions as the plate's moving block, so the box never drifts off it.
    const double blockX = x + (0.18 + 0.55 * (0.5 + 0.5 * std::sin(2 * pi * 0.31 * time))) * w - 8;
    context.stroke(ScenePath::roundedRect(QRectF(blockX, y + 0.46 * h, 0.13 * w, 0.24 * h), 8),
                   SceneColors::green.withOpacity(0.95), 2.2);

    const double sunX = x + (0.64 + 0.03 * std::sin(0.7 * time)) * w;
    context.stroke(ScenePath::roundedRect(QRectF(sunX, y + 0.15 * h, 0.14 * w, 0.17 * h), 8), accent.withOpacity(0.9),
                   2);

    const double scanX = x + (0.5 + 0.5 * std::sin(2 * pi * 0.55 * time)) * w;
    context.stroke(ScenePath::line({scanX, y}, {scanX, y + h}), SceneColors::white.withOpacity(0.35), 1);
}

void drawSegmentation(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();

    drawImagePlate(context, p, time, false);

    struct Blob {
        SceneColor color;
        double cx, cy, r;
    };
    const Blob blobs[] = {
        {SceneColors::cyan, x + (0.28 + 0.04 * std::sin(0.75 * time)) * w, y + 0.58 * h, 0.13 * h},
        {SceneColors::purple, x + (0.66 + 0.05 * std::cos(0.52 * time)) * w, y + 0.42 * h, 0.165 * h},
        {SceneColors::green, x + (0.5 + 0.04 * std::sin(0.41 * time)) * w, y + 0.76 * h, 0.2 * h},
    };
    for (const Blob& blob : blobs) {
        const auto shape =
            ScenePath::ellipse(QRectF(blob.cx - blob.r, blob.cy - 0.68 * blob.r, 2 * blob.r, 1.36 * blob.r));
        context.fill(shape, blob.color.withOpacity(0.3));
        context.stroke(shape, blob.color.withOpacity(0.72), 1.4);
    }

    const double bandY = y + (0.5 + 0.5 * std::sin(2 * pi * 0.48 * time)) * h - 2;
    context.fill(ScenePath::rect(QRectF(x, bandY, w, 4)), context.accent().withOpacity(0.28));
}

void drawSuperResolution(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double gap = 0.025 * p.width();
    const QRectF left(p.x(), p.y(), (p.width() - gap) / 2, p.height());
    const QRectF right(left.right() + gap, p.y(), left.width(), p.height());
    const SceneColor accent = context.accent();

    drawImagePlate(context, left, time, true);
    drawImagePlate(context, right, time, false);

    const double bandY = right.y() + (0.5 + 0.5 * std::sin(2 * pi * 0.5 * time)) * right.height() - 2;
    context.fill(ScenePath::rect(QRectF(right.x(), bandY, right.width(), 4)), accent.withOpacity(0.52));
    context.stroke(ScenePath::roundedRect(right, 14), accent.withOpacity(0.75), 1.5);
}

void drawMultimodal(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();
    const SceneColor accent = context.accent();

    const QRectF image(x, y + 0.08 * h, 0.42 * w, 0.84 * h);
    drawImagePlate(context, image, time, false);

    const double columnX = x + 0.77 * w;
    for (int i = 0; i < 7; ++i) {
        const double barWidth = w * (0.1 + 0.055 * noiseValue(i, 11));
        const auto bar =
            ScenePath::roundedRect(QRectF(columnX - barWidth / 2, y + (0.15 + 0.115 * i) * h, barWidth, 16), 8);
        context.fill(bar, accent.withOpacity(0.2 + 0.06 * (i % 3)));
        context.stroke(bar, accent.withOpacity(0.48), 1);
    }

    const QPointF from(image.right() + 12, image.center().y());
    const QPointF to(columnX - 0.1 * w, p.center().y());
    for (int i = 0; i < 9; ++i) {
        const double progress = 0.5 + 0.5 * std::sin(2 * pi * (0.42 * time + 0.17 * i));
        const QPointF onPath = familyI::along(from, to, progress);
        // 6.283 rather than 2π: the dots' sideways swing is drawn with this constant.
        const QPointF centre(onPath.x(), onPath.y() + 25 * std::sin(6.283 * progress + i));
        context.fill(ScenePath::circle(centre, 2.5 + 2 * noiseValue(i, 21)), accent.withOpacity(0.76));
    }
}

void drawDiffusion(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();
    const double progress = 0.5 + 0.5 * std::sin(2 * pi * 0.18 * time);

    context.fill(ScenePath::roundedRect(p, 16), SceneColors::black.withOpacity(0.4));

    const std::int64_t frame = timeIndex(7 * time);
    constexpr int columns = 48, rows = 27;
    const double cellWidth = w / columns, cellHeight = h / rows;
    for (int r = 0; r < rows; ++r) {
        const double v = r / 26.0;
        for (int c = 0; c < columns; ++c) {
            const double u = c / 47.0;
            const double radial = std::max(0.0, 1 - 2.1 * std::sqrt((u - 0.5) * (u - 0.5) + (v - 0.5) * (v - 0.5)));
            const double wave = 0.5 + 0.5 * std::sin(0.8 * time + 9 * v + 14 * u);
            const double target = std::min(1.0, 0.28 * wave + 0.72 * radial);
            const double n = noiseValue(familyI::frameNoiseIndex(48 * r + c, 13, frame), 0);
            const double value = progress * target + (1 - progress) * n;
            const auto color = SceneColor::srgb(0.1 + 0.55 * value, 0.08 + 0.42 * target, 0.22 + 0.72 * value);
            // 0.6 point of overlap: each later cell covers the seam to its neighbour.
            context.fill(
                ScenePath::rect(QRectF(x + c * cellWidth, y + r * cellHeight, cellWidth + 0.6, cellHeight + 0.6)),
                color.withOpacity(0.1 + 0.72 * value));
        }
    }

    context.stroke(ScenePath::circle(p.center(), (0.05 + 0.28 * progress) * h),
                   context.accent().withOpacity(0.42 + 0.45 * progress), 1.5);
}

}  // namespace korvalen::scene
