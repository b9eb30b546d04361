#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/SceneFamilyI.h"

#include <cmath>
#include <numbers>

namespace korvalen::scene {

namespace {

constexpr double pi = std::numbers::pi;

// A 96-point wave over `area`: m cycles of a clean signal plus noise of weight `noiseWeight` that changes
// six times a second. Waves of one frame share their noise samples, so a low weight reads as the
// cleaned-up version of a high one.
void drawWaveform(SceneContext& context, const QRectF& area, double cycles, double noiseWeight, const SceneColor& color,
                  double time)
{
    const std::int64_t frame = timeIndex(6 * time);
    ScenePath wave;
    for (int j = 0; j < 96; ++j) {
        const double u = j / 95.0;
        const double v = cycles * u;
        const double signal = 0.72 * std::sin(2.2 * time + 2 * pi * v) + 0.28 * std::sin(5.1 * pi * v - 1.3 * time) +
                              noiseWeight * (noiseValue(familyI::frameNoiseIndex(17 * j, 1, frame), 0) - 0.5);
        const QPointF point(area.x() + u * area.width(), area.center().y() - 0.42 * area.height() * signal);
        if (j == 0)
            wave.moveTo(point);
        else
            wave.lineTo(point);
    }
    context.stroke(wave, color.withOpacity(0.88), 1.6);
}

}  // namespace

void drawGPUAudioSpeechDecode(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();

    const QRectF audio(s.x(), s.y(), s.width(), 0.3 * s.height());
    drawPanel(context, audio, SceneColors::green);
    drawWaveform(context, audio.adjusted(12, 10, -12, -10), 7, 0.08, SceneColors::green, time);

    const QRectF spectrogram(s.x(), s.y() + 0.39 * s.height(), 0.58 * s.width(), 0.53 * s.height());
    drawPanel(context, spectrogram, accent);
    const double cellWidth = spectrogram.width() / 30, cellHeight = spectrogram.height() / 12;
    for (int r = 0; r < 12; ++r) {
        for (int c = 0; c < 30; ++c) {
            const double energy = 0.5 + 0.5 * std::sin(1.2 * time + 0.29 * c - 0.51 * r);
            const QRectF cell(spectrogram.x() + spectrogram.width() * c / 30,
                              spectrogram.y() + spectrogram.height() * r / 12, cellWidth + 0.5, cellHeight + 0.5);
            context.fill(ScenePath::rect(cell),
                         accent.withOpacity(0.05 + 0.55 * energy + 0.25 * noise(500, 30 * r + c)));
        }
    }

    // Fixed 26-point pitch: in a short window the lower lines run past the panel.
    const QRectF text(s.x() + 0.64 * s.width(), s.y() + 0.39 * s.height(), 0.36 * s.width(), 0.53 * s.height());
    drawPanel(context, text, SceneColors::green);
    for (int k = 0; k < 7; ++k) {
        const QRectF line(text.x() + 14, text.y() + 18 + 26 * k, text.width() * (0.42 + 0.42 * noise(540, k)), 8);
        context.fill(ScenePath::roundedRect(line, 4), SceneColors::green.withOpacity(0.22 + 0.07 * (k % 3)));
    }
}

void drawGPUAudioNoiseGate(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);

    const QRectF noisy(s.x(), s.y() + 0.08 * s.height(), 0.44 * s.width(), 0.84 * s.height());
    const QRectF clean(s.x() + 0.56 * s.width(), noisy.y(), 0.44 * s.width(), 0.84 * s.height());
    drawPanel(context, noisy, SceneColors::orange);
    drawPanel(context, clean, SceneColors::green);

    drawWaveform(context, noisy.adjusted(12, 20, -12, -20), 5.8, 0.75, SceneColors::orange, time);
    drawWaveform(context, clean.adjusted(12, 20, -12, -20), 5.8, 0.08, SceneColors::green, time);

    const double gateY = noisy.center().y() + 0.22 * noisy.height();
    for (const QRectF& panel : {noisy, clean})
        context.stroke(ScenePath::line({panel.x() + 10, gateY}, {panel.right() - 10, gateY}),
                       SceneColors::white.withOpacity(0.14), 1);

    drawFlowDots(context, {noisy.right(), noisy.center().y()}, {clean.x(), clean.center().y()}, context.accent(), 6,
                 0.68, 0, time);
}

void drawGPUAudioSceneClassifier(SceneContext& context, QSizeF size, double time)
{
    const QRectF s = sceneArea(size);
    const SceneColor accent = context.accent();

    drawPanel(context, s, accent, 0.12);

    // Each ring grows from 6 % to 42 % of the height while fading out, then starts again.
    const QPointF centre(s.x() + 0.38 * s.width(), s.center().y());
    for (int k = 1; k <= 5; ++k) {
        const double q = rem(0.35 * time + 0.16 * k);
        context.stroke(ScenePath::circle(centre, s.height() * (0.06 + 0.36 * q)), accent.withOpacity(0.48 * (1 - q)),
                       1.4);
    }

    constexpr double probabilities[] = {0.88, 0.61, 0.39, 0.24, 0.12};
    for (int i = 0; i < 5; ++i) {
        const QRectF track(s.x() + 0.62 * s.width(), s.y() + 28 + 42 * i, 0.3 * s.width(), 12);
        context.fill(ScenePath::roundedRect(track, 6), SceneColors::white.withOpacity(0.07));
        const double length = (0.94 + 0.04 * std::sin(1.1 * time + i)) * probabilities[i] * track.width();
        context.fill(ScenePath::roundedRect(QRectF(track.x(), track.y(), length, 12), 6),
                     (i == 0 ? SceneColors::green : accent).withOpacity(0.72));
    }
}

}  // namespace korvalen::scene
