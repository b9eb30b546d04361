#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/SceneFamilyI.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvalen::scene {

namespace {

constexpr double pi = std::numbers::pi;

// The faint link and its packets, at u = rem(rate·t + spacing·j) of the way along it.
void drawPacketLink(SceneContext& context, QPointF from, QPointF to, int count, double rate, double spacing,
                    double baseRadius, double time)
{
    const SceneColor accent = context.accent();
    context.stroke(ScenePath::line(from, to), accent.withOpacity(0.16), 1);
    for (int j = 0; j < count; ++j) {
        const double u = rem(rate * time + spacing * j);
        drawFlowDot(context, familyI::along(from, to, u), u, baseRadius, accent);
    }
}

}  // namespace

void drawGPUVisionClassification(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const SceneColor accent = context.accent();

    const QRectF image(p.x(), p.y(), 0.63 * p.width(), p.height());
    drawImagePlate(context, image, time, false);
    const double ringRadius = (0.1 + 0.025 * (0.5 + 0.5 * std::sin(0.95 * time))) * image.height();
    context.stroke(ScenePath::circle(image.center(), ringRadius), accent.withOpacity(0.78), 2);

    const double cardX = image.right() + 0.025 * p.width();
    const QRectF card(cardX, p.y(), p.right() - cardX, p.height());
    drawPanel(context, card, accent);

    constexpr double confidences[] = {0.96, 0.76, 0.51, 0.31, 0.17};
    for (int k = 0; k < 5; ++k) {
        const QRectF track(card.x() + 18, card.y() + 24 + (card.height() - 50) * k / 5, card.width() - 36, 10);
        context.fill(ScenePath::roundedRect(track, 5), SceneColors::white.withOpacity(0.07));
        const double length = (0.985 + 0.015 * std::sin(1.4 * time + k)) * confidences[k] * track.width();
        context.fill(ScenePath::roundedRect(QRectF(track.x(), track.y(), length, 10), 5),
                     accent.withOpacity(k == 0 ? 0.95 : 0.5));
    }
}

void drawGPUVisionObjectTracking(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();
    const SceneColor accent = context.accent();

    drawPanel(context, p, SceneColors::green, 0.16);

    const double horizon = y + 0.36 * h;
    for (double f : {-0.44, -0.22, 0.22, 0.44})
        context.stroke(ScenePath::line({p.center().x(), horizon}, {p.center().x() + f * w, p.bottom()}),
                       SceneColors::white.withOpacity(0.12), 1);

    for (int k = 0; k < 4; ++k) {
        const double depth = rem(0.23 * k + time * (0.1 + 0.018 * k));
        const double scale = 0.18 + 0.82 * depth;
        const double centreX = p.center().x() + w * (k - 1.5) * 0.1 * scale;
        const double bottom = horizon + 0.58 * h * scale;
        const double boxWidth = w * (0.045 + 0.075 * scale), boxHeight = h * (0.055 + 0.1 * scale);
        const QRectF box(centreX - boxWidth / 2, bottom - boxHeight, boxWidth, boxHeight);
        context.stroke(ScenePath::roundedRect(box, 5), (k == 0 ? SceneColors::green : accent).withOpacity(0.92), 1.8);
        context.stroke(ScenePath::line({box.center().x(), box.bottom()},
                                       {box.center().x(), std::min(p.bottom(), box.bottom() + 0.1 * h)}),
                       accent.withOpacity(0.24), 1);
    }

    context.fill(ScenePath::rect(QRectF(x, y + rem(0.16 * time) * h, w, 2)), SceneColors::green.withOpacity(0.32));
}

void drawGPUVisionSemanticMask(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();

    drawImagePlate(context, p, time, false);

    const double extent = 0.5 + 0.5 * std::sin(0.62 * time);
    context.fill(ScenePath::rect(QRectF(x, y, extent * w, 0.43 * h)), SceneColors::cyan.withOpacity(0.18));
    context.fill(ScenePath::rect(QRectF(x, y + 0.58 * h, extent * w, 0.42 * h)), SceneColors::green.withOpacity(0.2));

    ScenePath road;
    road.moveTo({p.center().x() - 0.08 * w, y + 0.54 * h})
        .lineTo({p.center().x() + 0.08 * w, y + 0.54 * h})
        .lineTo({p.right() - 0.18 * w, p.bottom()})
        .lineTo({x + 0.18 * w, p.bottom()})
        .close();
    context.fill(road, SceneColors::purple.withOpacity(0.24));

    context.fill(ScenePath::rect(QRectF(x + rem(0.18 * time) * w - 2, y, 4, h)), context.accent().withOpacity(0.56));
}

void drawGPUVisionSuperResolution(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double gap = 0.035 * p.width();
    const QRectF left(p.x(), p.y(), (p.width() - gap) / 2, p.height());
    const QRectF right(left.right() + gap, p.y(), left.width(), p.height());
    const SceneColor accent = context.accent();

    drawImagePlate(context, left, time, true);
    drawImagePlate(context, right, time, false);

    const QPointF lens(right.x() + (0.18 + 0.64 * (0.5 + 0.5 * std::sin(0.72 * time))) * right.width(),
                       right.center().y() + 0.08 * std::sin(0.41 * time) * right.height());
    const double radius = 0.14 * right.height();
    context.stroke(ScenePath::circle(lens, radius), accent.withOpacity(0.92), 2.2);
    context.stroke(ScenePath::circle(lens, 0.72 * radius), SceneColors::white.withOpacity(0.22), 1);

    drawPacketLink(context, {left.right(), left.center().y()}, {right.x(), right.center().y()}, 5, 0.85, 0.2, 2.7,
                   time);
}

void drawGPUVisionMultimodalEmbedding(SceneContext& context, QSizeF size, double time)
{
    const QRectF p = sceneArea(size);
    const double x = p.x(), y = p.y(), w = p.width(), h = p.height();
    const SceneColor accent = context.accent();

    const QRectF image(x, y + 0.08 * h, 0.34 * w, 0.84 * h);
    drawImagePlate(context, image, time, false);

    const QRectF card(x + 0.48 * w, y + 0.1 * h, 0.24 * w, 0.8 * h);
    drawPanel(context, card, accent);
    for (int j = 0; j < 16; ++j) {
        const double angle = 0.22 * time + 2 * pi * j / 16;
        const double distance = card.width() * (0.16 + 0.22 * noiseValue(j, 200));
        const QPointF centre(card.center().x() + std::cos(angle) * distance,
                             card.center().y() + std::sin(1.27 * angle) * distance);
        context.fill(ScenePath::circle(centre, j % 3 + 2.5), accent.withOpacity(0.42 + 0.035 * j));
    }

    const QRectF gauge(x + 0.8 * w, y + 0.16 * h, 0.1 * w, 0.68 * h);
    drawPanel(context, gauge, SceneColors::green);
    const double level = 0.72 + 0.18 * (0.5 + 0.5 * std::sin(0.65 * time));
    const QRectF bar(gauge.x() + 0.28 * gauge.width(), gauge.bottom() - level * gauge.height() - 12,
                     0.44 * gauge.width(), level * gauge.height());
    context.fill(ScenePath::roundedRect(bar, bar.width() / 2), SceneColors::green.withOpacity(0.72));

    drawPacketLink(context, {image.right(), image.center().y()}, {card.x(), card.center().y()}, 7, 0.48, 1.0 / 7, 3,
                   time);
}

}  // namespace korvalen::scene
