#pragma once

#include "Visualization/SceneContext.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <cstdint>

// What every scene shares: the background, the deterministic noise, the image plate and the building
// blocks the scenes lay themselves out with. Times are seconds in double precision (about 8.2e8 when
// live), and every index derived from time is 64-bit.
namespace korvalen::scene {

// SplitMix64 of seed + index (wrapping), low 16 bits, divided by 65535: 0...1 inclusive.
double noiseValue(std::int64_t index, std::int64_t seed);
// noise(s + i) of the scene tables: the value for seed s and index i.
inline double noise(std::int64_t seed, std::int64_t index)
{
    return noiseValue(index, seed);
}

// x minus the largest whole number not above x.
double fract(double x);
// x minus its whole part truncated towards zero (keeps the sign of x); rem(x, d) likewise for divisor d.
double rem(double x, double divisor = 1.0);
// A time-driven index: truncation towards zero, saturated to the 64-bit range (never undefined).
std::int64_t timeIndex(double x);

// Scene area S: x 0.075·w, y 0.17·h, width 0.85·w, height 0.66·h.
QRectF sceneArea(QSizeF size);

// The common background: fill, breathing grid and the accent glow.
void drawBackground(SceneContext& context, QSizeF size, double time);

// The small deterministic landscape of the vision scenes; `pixelated` darkens every third cell.
void drawImagePlate(SceneContext& context, const QRectF& rect, double time, bool pixelated);

// Panel(rect, colour, fill opacity f): rounded rectangle (radius 0.055·min side), black fill at f, then
// the outline in colour at opacity 0.36, line width 1.
void drawPanel(SceneContext& context, const QRectF& rect, const SceneColor& color, double fillOpacity = 0.24);

// Tile matrix(panel, inset, rows, columns, colour, τ, φ, k0): tiles 2 points apart, row by row.
void drawTileMatrix(SceneContext& context, const QRectF& panel, double inset, int rows, int columns,
                    const SceneColor& color, double tau, double phi, std::int64_t seed);

// Flow dot at fraction f of a link, base radius r0, centred at `centre`.
void drawFlowDot(SceneContext& context, QPointF centre, double fraction, double baseRadius, const SceneColor& color);

// Flow dots(P, Q, colour, n, ω, o) at time t: the faint link, then n dots at fract(ω·t + j/n + o).
void drawFlowDots(SceneContext& context, QPointF from, QPointF to, const SceneColor& color, int count, double rate,
                  double offset, double time);

}  // namespace korvalen::scene
