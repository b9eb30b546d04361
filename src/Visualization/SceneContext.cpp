#include "Visualization/SceneContext.h"

#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace korvalen {

ScenePath ScenePath::rect(const QRectF& rect)
{
    return ScenePath().addRect(rect);
}

ScenePath ScenePath::roundedRect(const QRectF& rect, double cornerRadius)
{
    return ScenePath().addRoundedRect(rect, cornerRadius);
}

ScenePath ScenePath::ellipse(const QRectF& bounds)
{
    return ScenePath().addEllipse(bounds);
}

ScenePath ScenePath::circle(QPointF centre, double radius)
{
    return ScenePath().addEllipse(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius));
}

ScenePath ScenePath::line(QPointF from, QPointF to)
{
    ScenePath path;
    path.moveTo(from).lineTo(to);
    return path;
}

ScenePath& ScenePath::addRect(const QRectF& rect)
{
    elements_.push_back({ScenePathElement::Kind::rect, rect, 0, {}, false});
    return *this;
}

ScenePath& ScenePath::addRoundedRect(const QRectF& rect, double cornerRadius)
{
    elements_.push_back({ScenePathElement::Kind::roundedRect, rect, cornerRadius, {}, false});
    return *this;
}

ScenePath& ScenePath::addEllipse(const QRectF& bounds)
{
    elements_.push_back({ScenePathElement::Kind::ellipse, bounds, 0, {}, false});
    return *this;
}

ScenePath& ScenePath::moveTo(QPointF point)
{
    ScenePathElement element;
    element.kind = ScenePathElement::Kind::polyline;
    element.points.push_back(point);
    elements_.push_back(std::move(element));
    return *this;
}

ScenePath& ScenePath::lineTo(QPointF point)
{
    // A lineTo without a current polyline starts one, as a drawing API would from the origin.
    if (elements_.empty() || elements_.back().kind != ScenePathElement::Kind::polyline || elements_.back().closed)
        return moveTo(point);
    elements_.back().points.push_back(point);
    return *this;
}

ScenePath& ScenePath::close()
{
    if (!elements_.empty() && elements_.back().kind == ScenePathElement::Kind::polyline)
        elements_.back().closed = true;
    return *this;
}

namespace {

QColor toQColor(const SceneColor& color)
{
    auto unit = [](double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; };
    return QColor::fromRgbF(float(unit(color.red)), float(unit(color.green)), float(unit(color.blue)),
                            float(unit(color.opacity)));
}

// Continuous corners: the curve starts further from the corner than a circular arc of the same radius
// and bends more gently, so the straight edge flows into the corner without a visible kink.
void addContinuousRoundedRect(QPainterPath& path, const QRectF& r, double radius)
{
    const double half = std::min(std::abs(r.width()), std::abs(r.height())) / 2;
    radius = std::isfinite(radius) ? std::clamp(radius, 0.0, half) : 0.0;
    if (radius <= 0) {
        path.addRect(r);
        return;
    }
    const double d = std::min(1.28 * radius, half);   // where the curve leaves the straight edge
    const double k = 0.36 * d;                        // control points, measured from the corner
    const double x0 = r.left(), y0 = r.top(), x1 = r.right(), y1 = r.bottom();
    path.moveTo(x0 + d, y0);
    path.lineTo(x1 - d, y0);
    path.cubicTo(x1 - k, y0, x1, y0 + k, x1, y0 + d);
    path.lineTo(x1, y1 - d);
    path.cubicTo(x1, y1 - k, x1 - k, y1, x1 - d, y1);
    path.lineTo(x0 + d, y1);
    path.cubicTo(x0 + k, y1, x0, y1 - k, x0, y1 - d);
    path.lineTo(x0, y0 + d);
    path.cubicTo(x0, y0 + k, x0 + k, y0, x0 + d, y0);
    path.closeSubpath();
}

QPainterPath toQPainterPath(const ScenePath& scenePath)
{
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    for (const auto& element : scenePath.elements()) {
        switch (element.kind) {
        case ScenePathElement::Kind::rect:
            path.addRect(element.rect);
            break;
        case ScenePathElement::Kind::roundedRect:
            addContinuousRoundedRect(path, element.rect, element.cornerRadius);
            break;
        case ScenePathElement::Kind::ellipse:
            path.addEllipse(element.rect);
            break;
        case ScenePathElement::Kind::polyline:
            if (element.points.empty())
                break;
            path.moveTo(element.points.front());
            for (std::size_t i = 1; i < element.points.size(); ++i)
                path.lineTo(element.points[i]);
            if (element.closed)
                path.closeSubpath();
            break;
        }
    }
    return path;
}

}  // namespace

PainterSceneContext::PainterSceneContext(QPainter& painter, SceneColor accent) : SceneContext(accent), painter_(painter)
{
    painter_.setRenderHint(QPainter::Antialiasing, true);
}

void PainterSceneContext::fill(const ScenePath& path, const SceneColor& color)
{
    // Single rectangles and ellipses, the bulk of every frame, take the painter's direct routes;
    // they fill exactly what the general path would.
    const auto& elements = path.elements();
    if (elements.size() == 1 && elements.front().kind == ScenePathElement::Kind::rect) {
        painter_.fillRect(elements.front().rect.normalized(), toQColor(color));
        return;
    }
    if (elements.size() == 1 && elements.front().kind == ScenePathElement::Kind::ellipse) {
        painter_.setPen(Qt::NoPen);
        painter_.setBrush(toQColor(color));
        painter_.drawEllipse(elements.front().rect);
        painter_.setBrush(Qt::NoBrush);
        return;
    }
    painter_.fillPath(toQPainterPath(path), toQColor(color));
}

void PainterSceneContext::stroke(const ScenePath& path, const SceneColor& color, double lineWidth)
{
    QPen pen(toQColor(color), lineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    const auto& elements = path.elements();
    if (elements.size() == 1 && elements.front().kind == ScenePathElement::Kind::polyline
        && elements.front().points.size() == 2 && !elements.front().closed) {
        painter_.setPen(pen);
        painter_.drawLine(elements.front().points[0], elements.front().points[1]);
        painter_.setPen(Qt::NoPen);
        return;
    }
    painter_.strokePath(toQPainterPath(path), pen);
}

void RecordingSceneContext::fill(const ScenePath& path, const SceneColor& color)
{
    operations_.push_back({Operation::Kind::fill, path, color, 0});
}

void RecordingSceneContext::stroke(const ScenePath& path, const SceneColor& color, double lineWidth)
{
    operations_.push_back({Operation::Kind::stroke, path, color, lineWidth});
}

}  // namespace korvalen
