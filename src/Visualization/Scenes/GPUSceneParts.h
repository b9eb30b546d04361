#pragma once

#include "Visualization/SceneContext.h"

#include <QPointF>
#include <QRectF>

// Constructions several GPU scenes share: the dark unit with its shimmering core grid, streams of flow
// dots along a link, and the plain shapes the scene tables name.
namespace korvalen::scene {

// The opaque face of a GPU block or tensor unit.
inline constexpr SceneColor unitFace = SceneColor::srgb(0.045, 0.055, 0.07);

// Opacity of core cell `cell` (row-major index) of a unit at `time`: one wave runs through the grid.
double coreCellOpacity(double time, int cell);

// A GPU block or tensor unit: rounded rectangle (radius 0.09·shorter side) filled with unitFace and
// stroked in colour at 0.58, width 1.4; inside it (inset 0.08·width across, 0.1·height down) a grid of
// rows × columns cells 3 points apart, corner radius 2, filled in colour at coreCellOpacity.
void drawCoreUnit(SceneContext& context, const QRectF& unit, int rows, int columns, const SceneColor& color,
                  double time);

// The point at `fraction` of the way from `from` to `to`.
QPointF pointAlong(QPointF from, QPointF to, double fraction);

// A link and its dots: the line from → to in colour at 0.16, width 1, then `count` flow dots of base radius
// `dotRadius`, dot j at fraction fract(rate·t + j/count + offset) measured from `from`. A negative rate
// runs the fraction backwards in time.
void drawStream(SceneContext& context, QPointF from, QPointF to, const SceneColor& color, int count, double rate,
                double offset, double dotRadius, double time);

void fillRoundedRect(SceneContext& context, const QRectF& rect, double radius, const SceneColor& color);
void strokeRoundedRect(SceneContext& context, const QRectF& rect, double radius, const SceneColor& color,
                       double lineWidth);
void fillCircle(SceneContext& context, QPointF centre, double radius, const SceneColor& color);
void strokeLine(SceneContext& context, QPointF from, QPointF to, const SceneColor& color, double lineWidth);

}  // namespace korvalen::scene
