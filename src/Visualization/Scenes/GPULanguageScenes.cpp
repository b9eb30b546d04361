#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/SceneFamilyI.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace korvalen::scene {

namespace {

constexpr double pi = std::numbers::pi;

}  // namespace

void drawGPULanguageEmbeddingProjection(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();

    const QRectF tokens(s.x(), s.y(), 0.32 * s.width(), s.height());
    const QRectF cloud(s.x() + 0.44 * s.width(), s.y(), 0.56 * s.width(), s.height());
    drawPanel(context, tokens, accent);
    drawPanel(context, cloud, accent, 0.14);

    for (int i = 0; i < 8; ++i) {
        const QRectF bar(tokens.x() + 16, tokens.y() + 18 + (tokens.height() - 36) * i / 8,
                         tokens.width() * (0.38 + 0.36 * noise(300, i)), 12);
        context.fill(ScenePath::roundedRect(bar, 6), accent.withOpacity(0.24 + 0.05 * (i % 4)));
    }

    // Golden-angle steps keep the cloud free of spokes; the faster vertical axis slowly reshapes it.
    for (int j = 0; j < 34; ++j) {
        const double n = 0.28 + 0.72 * noise(351, j);
        const double angle = 0.16 * time + 2.399963 * j;
        const QPointF centre(cloud.center().x() + std::cos(angle) * (0.1 + 0.36 * n) * cloud.width(),
                             cloud.center().y() + std::sin(1.12 * angle) * (0.08 + 0.32 * n) * cloud.height());
        const SceneColor color = j % 5 == 0 ? SceneColors::cyan : accent;
        context.fill(ScenePath::circle(centre, 1.7 + 3.3 * n), color.withOpacity(0.35 + 0.55 * n));
    }

    drawFlowDots(context, {tokens.right(), tokens.center().y()}, {cloud.x() + 10, cloud.center().y()}, accent, 8, 0.72,
                 0, time);
}

void drawGPULanguageRoPERMS(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();

    drawPanel(context, s, accent, 0.12);

    for (int i = 0; i < 6; ++i) {
        ScenePath wave;
        for (int j = 0; j < 90; ++j) {
            const double u = j / 89.0;
            const QPointF point(
                s.x() + u * s.width(),
                s.center().y() + (i - 2.5) * 0.1 * s.height() +
                    (0.026 + 0.003 * i) * s.height() * std::sin(0.65 * i + time * (0.75 + 0.08 * i) + 9.5 * pi * u));
            if (j == 0)
                wave.moveTo(point);
            else
                wave.lineTo(point);
        }
        context.stroke(wave, (i % 2 == 0 ? accent : SceneColors::cyan).withOpacity(0.36 + 0.07 * i), 1.5);
    }

    const double markerX = s.x() + (0.15 + 0.7 * (0.5 + 0.5 * std::sin(2 * pi * 0.16 * time))) * s.width() - 2;
    context.fill(ScenePath::rect(QRectF(markerX, s.y() + 8, 4, s.height() - 16)), SceneColors::white.withOpacity(0.36));

    const QRectF gauge(s.right() - 0.14 * s.width(), s.y() + 0.12 * s.height(), 0.08 * s.width(), 0.76 * s.height());
    context.stroke(ScenePath::roundedRect(gauge, 0.45 * gauge.width()), accent.withOpacity(0.42), 1);
    const double level = (0.72 + 0.08 * std::sin(0.53 * time)) * gauge.height();
    const QRectF fill(gauge.x() + 5, gauge.bottom() - level - 5, gauge.width() - 10, level);
    context.fill(ScenePath::roundedRect(fill, 0.45 * fill.width()), accent.withOpacity(0.58));
}

void drawGPULanguageAttentionGraph(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();

    const QRectF matrix(s.x() + 0.37 * s.width(), s.y() + 0.08 * s.height(), 0.48 * s.width(), 0.84 * s.height());
    drawPanel(context, matrix, accent, 0.14);

    // Brightest on the diagonal, fading by 0.085 a step away from it.
    const double pitch = std::min(matrix.width(), matrix.height()) / 10;
    for (int r = 0; r < 10; ++r) {
        for (int c = 0; c < 10; ++c) {
            const double weight = std::max(0.88 - 0.085 * std::abs(r - c), 0.08) *
                                  (0.72 + 0.28 * (0.5 + 0.5 * std::sin(1.2 * time + 0.38 * (r + c))));
            const QRectF cell(matrix.x() + c * pitch + 3, matrix.y() + r * pitch + 3, pitch - 5, pitch - 5);
            context.fill(ScenePath::roundedRect(cell, 2), accent.withOpacity(0.76 * weight));
        }
    }

    const QPointF target(matrix.x(), matrix.center().y());
    for (double nodeY : {s.y() + 0.25 * s.height(), s.center().y(), s.y() + 0.75 * s.height()}) {
        const QPointF node(s.x() + 0.1 * s.width(), nodeY);
        context.fill(ScenePath::circle(node, 12), accent.withOpacity(0.55));
        drawFlowDots(context, node, target, accent, 5, 0.64, 0.001 * nodeY, time);
    }
}

void drawGPUGenerativePromptPrefill(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();

    const QRectF prompt(s.x(), s.y(), 0.38 * s.width(), s.height());
    const QRectF cache(s.x() + 0.53 * s.width(), s.y(), 0.47 * s.width(), s.height());
    drawPanel(context, prompt, accent);
    drawPanel(context, cache, SceneColors::cyan);

    for (int i = 0; i < 18; ++i) {
        const int column = i % 3, row = i / 3;
        const QRectF chip(prompt.x() + 14 + (prompt.width() - 28) * column / 3,
                          prompt.y() + 18 + (prompt.height() - 36) * row / 6, (prompt.width() - 42) / 3, 17);
        const double phase = rem(0.32 * time + 0.06 * i);
        context.fill(ScenePath::roundedRect(chip, 5), accent.withOpacity(phase < 0.65 ? 0.62 : 0.16));
    }

    // The cache fills from the top over a 10-second cycle and empties at once when it restarts.
    const double filled = rem(0.1 * time);
    for (int j = 0; j < 12; ++j) {
        const QRectF row(cache.x() + 14, cache.y() + 14 + (cache.height() - 28) * j / 12, cache.width() - 28, 10);
        context.fill(ScenePath::roundedRect(row, 5), SceneColors::cyan.withOpacity(j / 12.0 < filled ? 0.66 : 0.12));
    }

    // Flow dots with a smaller base radius than the shared block's 3.
    const QPointF from(prompt.right(), prompt.center().y()), to(cache.x(), cache.center().y());
    context.stroke(ScenePath::line(from, to), accent.withOpacity(0.16), 1);
    for (int j = 0; j < 12; ++j) {
        const double f = fract(0.95 * time + j / 12.0);
        drawFlowDot(context, familyI::along(from, to, f), f, 2.5, accent);
    }
}

void drawGPUGenerativeTokenDecode(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();

    drawPanel(context, s, accent, 0.14);

    const double baseY = s.y() + 0.68 * s.height();
    context.stroke(ScenePath::line({s.x() + 24, baseY}, {s.right() - 24, baseY}), SceneColors::white.withOpacity(0.18),
                   1);

    // The lift is positive only while 0.55·t − 0.11·i is negative (rem keeps its sign): at a small scene
    // time the later tokens stand raised, at a live clock time they all rest on the line.
    for (int i = 0; i < 14; ++i) {
        const double lift = std::max(0.0, std::sin(pi * (rem(0.55 * time - 0.11 * i) + 1)));
        const QRectF token(s.x() + 28 + (s.width() - 56) * i / 13 - 15, baseY - 24 - 0.08 * s.height() * lift, 30, 20);
        context.fill(ScenePath::roundedRect(token, 6), accent.withOpacity(0.2 + 0.55 * noise(410, i)));
    }

    constexpr double probabilities[] = {0.78, 0.51, 0.33, 0.21};
    for (int k = 0; k < 4; ++k) {
        const QRectF bar(s.x() + 0.6 * s.width(), s.y() + 22 + 27 * k, 0.32 * s.width() * probabilities[k], 9);
        context.fill(ScenePath::roundedRect(bar, 4.5), SceneColors::green.withOpacity(0.55 + 0.08 * k));
    }

    const double cursorX = s.x() + 28 + rem(0.55 * time) * (s.width() - 56);
    context.fill(ScenePath::rect(QRectF(cursorX, baseY + 8, 2, 0.16 * s.height())),
                 SceneColors::green.withOpacity(0.72));
}

void drawGPUGenerativeDiffusion(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const double progress = 0.5 + 0.5 * std::sin(0.4 * time - pi / 2);

    drawPanel(context, s, context.accent(), 0.2);

    constexpr int rows = 24, columns = 44;
    const double cellWidth = s.width() / columns, cellHeight = s.height() / rows;
    const std::int64_t frame = timeIndex(9 * time);
    for (int r = 0; r < rows; ++r) {
        const double rho = r / 23.0;
        const double band = 0.24 * std::max(0.0, 1 - 6 * std::abs(rho - 0.64));
        for (int c = 0; c < columns; ++c) {
            const double kappa = c / 43.0;
            const double blob =
                std::max(0.0, 1 - 2.05 * std::sqrt((rho - 0.5) * (rho - 0.5) + 1.15 * (kappa - 0.5) * (kappa - 0.5)));
            const double clean = std::min(band + 0.76 * blob, 1.0);
            const double n = noiseValue(familyI::frameNoiseIndex(44 * r + c, 19, frame), 0);
            const double v = (1 - progress) * n + progress * clean;
            const auto color = SceneColor::srgb(0.11 + 0.56 * v, 0.08 + 0.4 * clean, 0.22 + 0.65 * v);
            // 0.8 point larger than the cell so that no seams show.
            context.fill(ScenePath::rect(
                             QRectF(s.x() + c * cellWidth, s.y() + r * cellHeight, cellWidth + 0.8, cellHeight + 0.8)),
                         color.withOpacity(0.18 + 0.72 * v));
        }
    }

    context.fill(ScenePath::rect(QRectF(s.x() + progress * s.width() - 2, s.y(), 4, s.height())),
                 SceneColors::white.withOpacity(0.34));
}

}  // namespace korvalen::scene
