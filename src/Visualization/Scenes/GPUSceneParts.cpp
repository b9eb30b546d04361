#include "Visualization/Scenes/GPUSceneParts.h"

#include "Visualization/SceneDrawing.h"

#include <algorithm>
#include <cmath>

namespace korvalen::scene {

double coreCellOpacity(double time, int cell)
{
    return 0.1 + 0.5 * (0.32 + 0.68 * (0.5 + 0.5 * std::sin(2.6 * time + 0.23 * cell)));
}

void drawCoreUnit(SceneContext& context, const QRectF& unit, int rows, int columns, const SceneColor& color,
                  double time)
{
    const ScenePath outline = ScenePath::roundedRect(unit, 0.09 * std::min(unit.width(), unit.height()));
    context.fill(outline, unitFace);
    context.stroke(outline, color.withOpacity(0.58), 1.4);

    const double insetX = 0.08 * unit.width();
    const double insetY = 0.1 * unit.height();
    const QRectF inner = unit.adjusted(insetX, insetY, -insetX, -insetY);
    const double cellWidth = (inner.width() - 3.0 * (columns - 1)) / columns;
    const double cellHeight = (inner.height() - 3.0 * (rows - 1)) / rows;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const QRectF cell(inner.left() + c * (cellWidth + 3), inner.top() + r * (cellHeight + 3), cellWidth,
                              cellHeight);
            fillRoundedRect(context, cell, 2, color.withOpacity(coreCellOpacity(time, columns * r + c)));
        }
    }
}

QPointF pointAlong(QPointF from, QPointF to, double fraction)
{
    return {from.x() + fraction * (to.x() - from.x()), from.y() + fraction * (to.y() - from.y())};
}

void drawStream(SceneContext& context, QPointF from, QPointF to, const SceneColor& color, int count, double rate,
                double offset, double dotRadius, double time)
{
    strokeLine(context, from, to, color.withOpacity(0.16), 1);
    for (int j = 0; j < count; ++j) {
        const double f = fract(rate * time + static_cast<double>(j) / count + offset);
        drawFlowDot(context, pointAlong(from, to, f), f, dotRadius, color);
    }
}

void fillRoundedRect(SceneContext& context, const QRectF& rect, double radius, const SceneColor& color)
{
    context.fill(ScenePath::roundedRect(rect, radius), color);
}

void strokeRoundedRect(SceneContext& context, const QRectF& rect, double radius, const SceneColor& color,
                       double lineWidth)
{
    context.stroke(ScenePath::roundedRect(rect, radius), color, lineWidth);
}

void fillCircle(SceneContext& context, QPointF centre, double radius, const SceneColor& color)
{
    context.fill(ScenePath::circle(centre, radius), color);
}

void strokeLine(SceneContext& context, QPointF from, QPointF to, const SceneColor& color, double lineWidth)
{
    context.stroke(ScenePath::line(from, to), color, lineWidth);
}

}  // namespace korvalen::scene
