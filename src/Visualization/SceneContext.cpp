#include "Visualization/SceneContext.h"

#include <QColor>
#include <QImage>
#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPen>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>

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
    if (!elements_.empty() && elements_.back().kind == ScenePathElement::Kind::polyline) elements_.back().closed = true;
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
    const double d = std::min(1.28 * radius, half);  // where the curve leaves the straight edge
    const double k = 0.36 * d;                       // control points, measured from the corner
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
        case ScenePathElement::Kind::rect: path.addRect(element.rect); break;
        case ScenePathElement::Kind::roundedRect:
            addContinuousRoundedRect(path, element.rect, element.cornerRadius);
            break;
        case ScenePathElement::Kind::ellipse: path.addEllipse(element.rect); break;
        case ScenePathElement::Kind::polyline:
            if (element.points.empty()) break;
            path.moveTo(element.points.front());
            for (std::size_t i = 1; i < element.points.size(); ++i) path.lineTo(element.points[i]);
            if (element.closed) path.closeSubpath();
            break;
        }
    }
    return path;
}

// Qt's raster engine hands every blend of about 96 spans or more to its GUI thread pool. On a busy
// machine waking those threads costs far more than the pixels (a tall hairline: ~0.3 ms, a wide noisy
// waveform several ms), and they compete with the benchmark the window shows. Tall shapes therefore
// reach the engine in bands of fewer rows, each of which blends on this thread. Every route below
// cuts at pixel boundaries, so each pixel keeps its coverage.
constexpr int bandRows = 48;
constexpr int maxSpans = 95;  // the most spans one blend may carry and stay on this thread

using DeviceSpace = PainterSceneContext::DeviceSpace;

// The painter's target in whole device pixels, or nullopt (then nothing is banded or rasterized here).
std::optional<DeviceSpace> deviceSpace(QPainter& painter)
{
    if (!painter.isActive() || painter.hasClipping() || !painter.paintEngine() ||
        painter.paintEngine()->type() != QPaintEngine::Raster)
        return std::nullopt;
    // The engine's own target: a widget paints into its backing store's image, in device pixels.
    const QPaintDevice* target = painter.paintEngine()->paintDevice();
    if (!target || target->devType() != QInternal::Image) return std::nullopt;
    const auto* image = static_cast<const QImage*>(target);
    const QTransform t = painter.deviceTransform();
    const double scale = t.m11();
    if (t.type() > QTransform::TxScale || t.m12() != 0 || t.m21() != 0 || t.m22() != scale ||
        !(scale > 0 && scale <= 16))
        return std::nullopt;
    if (t.dx() != std::round(t.dx()) || t.dy() != std::round(t.dy())) return std::nullopt;
    if (std::abs(t.dx()) > 1e6 || std::abs(t.dy()) > 1e6) return std::nullopt;
    return DeviceSpace{scale, QPoint(int(t.dx()), int(t.dy())), image->width(), image->height()};
}

// Device rows [first, last) that a shape spanning y in [top, bottom] (device pixels before the offset) can touch.
std::pair<int, int> deviceRows(const DeviceSpace& device, double top, double bottom)
{
    const double height = device.height;
    const double first = std::clamp(std::floor(top + device.offset.y()), 0.0, height);
    const double last = std::clamp(std::ceil(bottom + device.offset.y()), 0.0, height);
    return {int(first), int(std::max(first, last))};
}

// Runs `paint` once per band of device rows covering [top, bottom], clipped to the band. Worth it for
// shapes the engine redraws cheaply (rectangles, hairlines), not for curved outlines, whose every pass
// costs a full rasterization.
template <typename Paint>
void paintInBands(QPainter& painter, const DeviceSpace* device, double top, double bottom, Paint paint,
                  int rowsPerBand = bandRows)
{
    if (!device || !std::isfinite(top) || !std::isfinite(bottom)) {
        paint();
        return;
    }
    const auto [first, last] = deviceRows(*device, top, bottom);
    if (last - first <= rowsPerBand) {
        paint();
        return;
    }
    const int bands = (last - first + rowsPerBand - 1) / rowsPerBand;
    const int wide = device->width + 2;
    for (int b = 0; b < bands; ++b) {
        // Equal bands, so none is a sliver that costs a whole pass for a few rows.
        const int y0 = first + (last - first) * b / bands;
        const int y1 = first + (last - first) * (b + 1) / bands;
        painter.setClipRect(QRect(-1 - device->offset.x(), y0 - device->offset.y(), wide, y1 - y0));
        paint();
    }
    painter.setClipping(false);
}

// Fills an integer device rectangle with `color` at `coverage`, antialiasing off, in bands.
void fillPixels(QPainter& painter, QPoint offset, QRect rect, const QColor& color, double coverage)
{
    if (rect.isEmpty() || coverage <= 0) return;
    QColor c = color;
    c.setAlphaF(float(color.alphaF() * std::min(coverage, 1.0)));
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (int y = rect.top(); y <= rect.bottom(); y += bandRows) {
        const int rows = std::min(bandRows, rect.bottom() + 1 - y);
        painter.fillRect(QRect(rect.left() - offset.x(), y - offset.y(), rect.width(), rows), c);
    }
    painter.setRenderHint(QPainter::Antialiasing, true);
}

// Hairlines (width up to 1) are drawn by the engine one pixel wide at the pen's width as opacity, each
// pixel covered by the area of [centre - 0.5, centre + 0.5] it overlaps; wider lines with flat caps are
// the rectangle [centre - width / 2, centre + width / 2] along their length. A vertical or horizontal
// line between whole-pixel ends is therefore a few plain columns (rows) of pixels.
bool drawAxisLine(QPainter& painter, const DeviceSpace& device, QPointF a, QPointF b, const QColor& color, double width)
{
    if (!(width > 0 && width <= 64)) return false;
    const bool vertical = a.x() == b.x() && a.y() != b.y();
    const bool horizontal = a.y() == b.y() && a.x() != b.x();
    if (!vertical && !horizontal) return false;
    if (!vertical) std::swap(a.rx(), a.ry()), std::swap(b.rx(), b.ry());
    // Along the line: whole-pixel ends only (where the engine's end pixels are exact), inside the device.
    const QPoint offset = device.offset;
    const double limit = vertical ? device.height : device.width;
    const int shift = vertical ? offset.y() : offset.x();
    const double from = std::min(a.y(), b.y()) + shift, to = std::max(a.y(), b.y()) + shift;
    if (from != std::floor(from) || to != std::floor(to) || from < 0 || to > limit) return false;
    const double centre = a.x() + (vertical ? offset.x() : offset.y());
    if (!std::isfinite(centre) || std::abs(centre) > 1e6) return false;
    const double half = std::max(width, 1.0) / 2, weight = std::min(width, 1.0);
    const double left = centre - half, right = centre + half;
    auto piece = [&](int pixel, int count, double coverage) {
        const QRect r =
            vertical ? QRect(pixel, int(from), count, int(to - from)) : QRect(int(from), pixel, int(to - from), count);
        fillPixels(painter, offset, r, color, coverage * weight);
    };
    // The partly covered pixel on each side, and the whole ones between them in one piece.
    const int firstPixel = int(std::floor(left));
    const int lastPixel = std::max(firstPixel + 1, int(std::ceil(right)) - 1);
    piece(firstPixel, 1, std::min(right, firstPixel + 1.0) - left);
    if (lastPixel - firstPixel > 1) piece(firstPixel + 1, lastPixel - firstPixel - 1, 1);
    piece(lastPixel, 1, right - std::max(left, double(lastPixel)));
    return true;
}

// An exact-area, non-zero-winding scanline rasterizer for outlines made of straight edges: each edge
// adds its signed area to the cells it crosses, and a running sum along each row gives the coverage,
// clamped to 1 where windings overlap, as the engine's own rasterizer does. Edges are kept and walked
// band by band of rows; each band is blended through a scratch image covering only the columns it
// touches, so no blend reaches the engine's thread pool however many spans the outline has, and the
// cost follows the outline's edges and covered pixels rather than its bounding box.
class EdgeRasterizer {
public:
    explicit EdgeRasterizer(QRect area) : area_(area), width_(area.width() + 2) {}

    // x, y in device coordinates. Rows outside `area` are left out; an edge left of it still covers
    // everything to its right, so that part counts as lying on the area's left side, and a part right of
    // it covers nothing shown.
    void addEdge(QPointF p0, QPointF p1)
    {
        if (p0.y() == p1.y()) return;
        const double left = area_.left(), right = area_.left() + area_.width();
        if (std::min(p0.x(), p1.x()) >= left && std::max(p0.x(), p1.x()) <= right) {
            addEdgeWithin(p0, p1);
            return;
        }
        // Cut where the edge crosses either side; each piece lies on one side or within.
        double cuts[4] = {0, 1, 1, 1};
        int count = 1;
        for (double side : {left, right}) {
            const double t = (side - p0.x()) / (p1.x() - p0.x());
            if (t > 0 && t < 1) cuts[count++] = t;
        }
        if (count == 3 && cuts[1] > cuts[2]) std::swap(cuts[1], cuts[2]);
        cuts[count] = 1;
        auto at = [&](double t) { return t == 1 ? p1 : p0 + t * (p1 - p0); };
        for (int i = 0; i < count; ++i) {
            QPointF a = at(cuts[i]), b = at(cuts[i + 1]);
            a.rx() = std::clamp(a.x(), left, right);
            b.rx() = std::clamp(b.x(), left, right);
            addEdgeWithin(a, b);
        }
    }

    void blend(QPainter& painter, QPoint offset, const QColor& color)
    {
        const QRgb premultiplied = color.rgba64().premultiplied().toArgb32();  // as the engine converts it
        const int columns = area_.width();
        const int bandHeight = std::min(bandRows, area_.height());
        const int words = wordsPerRow();
        std::vector<float> cells(std::size_t(width_) * bandHeight, 0.0f);
        std::vector<std::uint64_t> touched(std::size_t(words) * bandHeight, 0);
        std::vector<int> rowFirst(bandHeight), rowEnd(bandHeight);
        QImage band(columns, bandHeight, QImage::Format_ARGB32_Premultiplied);
        for (int top = 0; top < area_.height(); top += bandHeight) {
            const int rows = std::min(bandHeight, area_.height() - top);
            for (Edge& edge : edges_) walk(edge, top, top + rows, cells.data(), touched.data());

            int bandLeft = columns, bandRight = 0;
            for (int r = 0; r < rows; ++r) {
                auto* out = reinterpret_cast<QRgb*>(band.scanLine(r));
                float* line = cells.data() + std::size_t(r) * width_;
                std::uint64_t* mask = touched.data() + std::size_t(r) * words;
                // Between touched blocks the running sum, and so the pixel, stays what it was.
                double sum = 0;
                QRgb current = 0;
                int x = -1;
                for (int w = 0; w < words; ++w) {
                    for (std::uint64_t bits = mask[w]; bits; bits &= bits - 1) {
                        const int from = (w * 64 + std::countr_zero(bits)) * blockCells;
                        if (x < 0) rowFirst[r] = x = std::min(from, columns);
                        std::fill(out + x, out + std::min(from, columns), current);
                        const int to = std::min(from + blockCells, width_);
                        for (int c = from; c < to; ++c) {
                            if (line[c] != 0) {
                                sum += line[c];
                                line[c] = 0;
                                current = pixel(sum, premultiplied);
                            }
                            if (c < columns) out[c] = current;
                        }
                        x = std::min(to, columns);
                    }
                    mask[w] = 0;
                }
                if (x < 0) {
                    rowFirst[r] = rowEnd[r] = 0;
                    continue;
                }
                // Past the last touched cell the coverage holds to the area's right side.
                rowEnd[r] = current ? columns : x;
                std::fill(out + x, out + rowEnd[r], current);
                if (rowFirst[r] < rowEnd[r]) {
                    bandLeft = std::min(bandLeft, rowFirst[r]);
                    bandRight = std::max(bandRight, rowEnd[r]);
                }
            }
            if (bandLeft >= bandRight) continue;
            for (int r = 0; r < rows; ++r) {
                auto* out = reinterpret_cast<QRgb*>(band.scanLine(r));
                if (rowFirst[r] >= rowEnd[r]) {
                    std::fill(out + bandLeft, out + bandRight, QRgb(0));
                    continue;
                }
                std::fill(out + bandLeft, out + std::max(bandLeft, rowFirst[r]), QRgb(0));
                std::fill(out + std::min(bandRight, rowEnd[r]), out + bandRight, QRgb(0));
            }
            painter.drawImage(QPoint(area_.left() + bandLeft - offset.x(), area_.top() + top - offset.y()), band,
                              QRect(bandLeft, 0, bandRight - bandLeft, rows));
        }
    }

private:
    // One straight edge in area coordinates, walked a row at a time; `x` and `row` carry the walk from
    // one band to the next, so every cell sees the very sums a single walk would give it.
    struct Edge {
        double x, y0, y1, dxdy, dir;
        int row, rowEnd;
    };

    // x within the area's columns (or on its right side).
    void addEdgeWithin(QPointF p0, QPointF p1)
    {
        if (p0.y() == p1.y()) return;
        const double dir = p0.y() < p1.y() ? 1.0 : -1.0;
        if (p0.y() > p1.y()) std::swap(p0, p1);
        double x0 = p0.x() - area_.left(), y0 = p0.y() - area_.top();
        const double x1 = p1.x() - area_.left(), y1 = p1.y() - area_.top();
        const double dxdy = (x1 - x0) / (y1 - y0);
        if (y0 < 0) {  // starts above the area
            x0 = std::clamp(x0 + dxdy * -y0, 0.0, double(area_.width()));
            y0 = 0;
        }
        const int row = std::max(0, int(std::floor(y0)));
        const int rowEnd = std::min(area_.height(), int(std::ceil(y1)));
        if (row < rowEnd) edges_.push_back({x0, y0, y1, dxdy, dir, row, rowEnd});
    }

    // Cells are marked touched in blocks, so the pass over a row visits only the blocks edges crossed.
    static constexpr int blockCells = 16;
    int wordsPerRow() const { return (width_ + 64 * blockCells - 1) / (64 * blockCells); }
    static void mark(std::uint64_t* mask, int firstCell, int lastCell)
    {
        for (int b = firstCell / blockCells; b <= lastCell / blockCells; ++b)
            mask[b / 64] |= std::uint64_t(1) << (b % 64);
    }

    // Adds the edge's rows in [bandTop, bandEnd) to the band's cells and marks the cells it touched.
    void walk(Edge& e, int bandTop, int bandEnd, float* cells, std::uint64_t* touched) const
    {
        const int words = wordsPerRow();
        const double columns = area_.width();
        const int stop = std::min(e.rowEnd, bandEnd);
        double x = e.x;
        int row = e.row;
        for (; row < stop; ++row) {
            const double dy = std::min(row + 1.0, e.y1) - std::max(double(row), e.y0);
            // Kept within the columns, where rounding along a long edge could step a hair outside.
            const double xnext = std::clamp(x + e.dxdy * dy, 0.0, columns);
            const double d = dy * e.dir;
            const int r = row - bandTop;
            float* line = cells + std::size_t(r) * width_;
            const double xa = std::min(x, xnext), xb = std::max(x, xnext);
            const double xaFloor = std::floor(xa);
            const int ia = int(xaFloor), ib = int(std::ceil(xb));
            if (ib <= ia + 1) {
                // Within one column: the part right of the edge's mean x is covered.
                const double mid = (0.5 * (x + xnext) - xaFloor);
                line[ia] += d - d * mid;
                line[ia + 1] += d * mid;
                mark(touched + std::size_t(r) * words, ia, ia + 1);
            } else {
                const double s = 1.0 / (xb - xa);
                const double fa = xa - xaFloor;
                const double a0 = 0.5 * s * (1 - fa) * (1 - fa);
                const double fb = xb - ib + 1;
                const double am = 0.5 * s * fb * fb;
                line[ia] += d * a0;
                if (ib == ia + 2) {
                    line[ia + 1] += d * (1 - a0 - am);
                } else {
                    const double a1 = s * (1.5 - fa);
                    line[ia + 1] += d * (a1 - a0);
                    for (int i = ia + 2; i < ib - 1; ++i) line[i] += d * s;
                    const double a2 = a1 + (ib - ia - 3) * s;
                    line[ib - 1] += d * (1 - a2 - am);
                }
                line[ib] += d * am;
                mark(touched + std::size_t(r) * words, ia, ib);
            }
            x = xnext;
        }
        if (row > e.row) e.x = x, e.row = row;
    }

    // The coverage of a running sum, quantized as the engine does: the signed area is floored, then its
    // magnitude taken (a truncation for positive areas, rounding up the magnitude of negative ones).
    static QRgb pixel(double sum, QRgb premultiplied)
    {
        const double v = std::clamp(sum * 256, -256.0, 256.0);
        int coverage = int(v);
        if (v < 0) coverage = double(coverage) > v ? 1 - coverage : -coverage;
        coverage = std::min(coverage, 255);
        return coverage == 255 ? premultiplied : byteMul(premultiplied, coverage);
    }

    // Each channel times coverage / 255, rounded, as the engine weights a colour by coverage.
    static QRgb byteMul(QRgb x, int a)
    {
        std::uint32_t t = (x & 0xff00ff) * a;
        t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
        t &= 0xff00ff;
        x = ((x >> 8) & 0xff00ff) * a;
        x = (x + ((x >> 8) & 0xff00ff) + 0x800080);
        x &= 0xff00ff00;
        return x | t;
    }

    QRect area_;
    int width_;
    std::vector<Edge> edges_;
};

// Flattens a cubic as the engine does before rasterizing (device pixels, flatness 1/4): halve until
// the control points' distances from the chord, summed, fall below a quarter of its length, at most
// nine times; so a curve keeps the very chords (and coverage) the engine gives it.
template <typename Emit>
void flattenCubic(QPointF p1, QPointF p2, QPointF p3, QPointF p4, Emit addPoint)
{
    struct Cubic {
        double x1, y1, x2, y2, x3, y3, x4, y4;
    };
    Cubic stack[10];
    int levels[10];
    stack[0] = {p1.x(), p1.y(), p2.x(), p2.y(), p3.x(), p3.y(), p4.x(), p4.y()};
    levels[0] = 9;
    int top = 0;
    while (top >= 0) {
        Cubic* b = &stack[top];
        const double y4y1 = b->y4 - b->y1, x4x1 = b->x4 - b->x1;
        double l = std::abs(x4x1) + std::abs(y4y1);
        double d;
        if (l > 1) {
            d = std::abs(x4x1 * (b->y1 - b->y2) - y4y1 * (b->x1 - b->x2)) +
                std::abs(x4x1 * (b->y1 - b->y3) - y4y1 * (b->x1 - b->x3));
        } else {
            d = std::abs(b->x1 - b->x2) + std::abs(b->y1 - b->y2) + std::abs(b->x1 - b->x3) + std::abs(b->y1 - b->y3);
            l = 1;
        }
        if (d < 0.25 * l || levels[top] == 0) {
            addPoint(QPointF(b->x4, b->y4));
            --top;
            continue;
        }
        // The first half goes on top of the stack, the second stays below it.
        Cubic* first = b + 1;
        const Cubic c = *b;
        double cx = (c.x2 + c.x3) * .5, cy = (c.y2 + c.y3) * .5;
        first->x1 = c.x1, first->y1 = c.y1;
        first->x2 = (c.x1 + c.x2) * .5, first->y2 = (c.y1 + c.y2) * .5;
        b->x3 = (c.x3 + c.x4) * .5, b->y3 = (c.y3 + c.y4) * .5;
        b->x4 = c.x4, b->y4 = c.y4;
        first->x3 = (first->x2 + cx) * .5, first->y3 = (first->y2 + cy) * .5;
        b->x2 = (b->x3 + cx) * .5, b->y2 = (b->y3 + cy) * .5;
        first->x4 = b->x1 = (first->x3 + b->x2) * .5;
        first->y4 = b->y1 = (first->y3 + b->y2) * .5;
        levels[top + 1] = --levels[top];
        ++top;
    }
}

// Fills a winding outline through EdgeRasterizer when the engine would split its blend over the thread
// pool (about 96 edge cells or more); false when the engine is as good (small outlines) or the outline
// reaches outside the device.
bool fillOutline(QPainter& painter, const DeviceSpace& device, const QPainterPath& outline, const QColor& color)
{
    if (outline.fillRule() != Qt::WindingFill || outline.elementCount() < 2) return false;
    const QPoint offset = device.offset;
    const QRectF bounds = outline.controlPointRect().translated(offset);
    const QRectF target(0, 0, device.width, device.height);
    if (!std::isfinite(bounds.width()) || !std::isfinite(bounds.height()) || std::abs(bounds.left()) > 1e6 ||
        std::abs(bounds.top()) > 1e6 || bounds.width() > 1e6 || bounds.height() > 1e6)
        return false;
    // The engine's rasterizer emits about one span per edge cell and one per row crossed.
    double cells = 0;
    for (int i = 1; i < outline.elementCount(); ++i) {
        const QPainterPath::Element e = outline.elementAt(i), previous = outline.elementAt(i - 1);
        if (!e.isMoveTo()) cells += std::abs(e.x - previous.x) + 2 * std::abs(e.y - previous.y);
    }
    if (cells < 96) return false;

    QRect area(QPoint(int(std::floor(bounds.left())), int(std::floor(bounds.top()))),
               QPoint(int(std::ceil(bounds.right())), int(std::ceil(bounds.bottom()))));
    // A shape reaching past the target (the accent glow does) is rasterized for the rows and columns shown.
    if (!target.contains(bounds)) area &= target.toRect();
    if (area.isEmpty()) return true;
    EdgeRasterizer rasterizer(area);
    // On the engine's 1/64-pixel grid, so thin edges cover what they cover there.
    auto device64 = [&](const QPainterPath::Element& e) {
        return QPointF(std::round((e.x + offset.x()) * 64) / 64, std::round((e.y + offset.y()) * 64) / 64);
    };
    QPointF start, current, exact;  // exact: the current point before rounding, where a curve starts
    for (int i = 0; i < outline.elementCount(); ++i) {
        const QPainterPath::Element e = outline.elementAt(i);
        const QPointF point = device64(e);
        if (e.isMoveTo()) {
            rasterizer.addEdge(current, start);  // every subpath fills as if closed
            start = current = point;
            exact = QPointF(e.x, e.y) + offset;
        } else if (e.isCurveTo() && i + 2 < outline.elementCount()) {
            const QPainterPath::Element c2 = outline.elementAt(i + 1), end = outline.elementAt(i + 2);
            flattenCubic(exact, QPointF(e.x, e.y) + offset, QPointF(c2.x, c2.y) + offset,
                         QPointF(end.x, end.y) + offset, [&](QPointF p) {
                             p = QPointF(std::round(p.x() * 64) / 64, std::round(p.y() * 64) / 64);
                             rasterizer.addEdge(current, p);
                             current = p;
                         });
            exact = QPointF(end.x, end.y) + offset;
            i += 2;
        } else {
            rasterizer.addEdge(current, point);
            current = point;
            exact = QPointF(e.x, e.y) + offset;
        }
    }
    rasterizer.addEdge(current, start);
    rasterizer.blend(painter, offset, color);
    return true;
}

// The shape in device pixels (before the offset): what the engine would map it to under the scale.
ScenePath scaledPath(const ScenePath& path, double scale)
{
    auto scaled = [scale](const QRectF& r) {
        return QRectF(r.x() * scale, r.y() * scale, r.width() * scale, r.height() * scale);
    };
    ScenePath result;
    for (const auto& element : path.elements()) {
        switch (element.kind) {
        case ScenePathElement::Kind::rect: result.addRect(scaled(element.rect)); break;
        case ScenePathElement::Kind::roundedRect:
            result.addRoundedRect(scaled(element.rect), element.cornerRadius * scale);
            break;
        case ScenePathElement::Kind::ellipse: result.addEllipse(scaled(element.rect)); break;
        case ScenePathElement::Kind::polyline:
            for (std::size_t i = 0; i < element.points.size(); ++i)
                i == 0 ? result.moveTo(element.points[i] * scale) : result.lineTo(element.points[i] * scale);
            if (element.closed) result.close();
            break;
        }
    }
    return result;
}

}  // namespace

PainterSceneContext::PainterSceneContext(QPainter& painter, SceneColor accent)
    : SceneContext(accent), painter_(painter), device_(deviceSpace(painter))
{
    painter_.setRenderHint(QPainter::Antialiasing, true);
    if (device_ && device_->scale != 1) {
        // Work in device pixels: the same scene points land on the same pixels, and every route below
        // sees a whole-pixel translation as it does at a ratio of 1.
        const QTransform world = painter_.worldTransform();
        const QTransform toDevice = QTransform::fromTranslate(device_->offset.x(), device_->offset.y()) *
                                    painter_.deviceTransform().inverted() * world;
        painter_.setWorldTransform(toDevice);
        const QTransform t = painter_.deviceTransform();
        if (t.type() <= QTransform::TxTranslate && t.dx() == device_->offset.x() && t.dy() == device_->offset.y()) {
            restoreTransform_ = world;
        } else {
            painter_.setWorldTransform(world);
            device_.reset();
        }
    }
}

PainterSceneContext::~PainterSceneContext()
{
    if (restoreTransform_ && painter_.isActive()) painter_.setWorldTransform(*restoreTransform_);
}

void PainterSceneContext::fill(const ScenePath& scenePath, const SceneColor& color)
{
    const ScenePath path = restoreTransform_ ? scaledPath(scenePath, device_->scale) : ScenePath();
    const auto& elements = (restoreTransform_ ? path : scenePath).elements();
    const DeviceSpace* device = device_ ? &*device_ : nullptr;
    const QColor qcolor = toQColor(color);
    // Single rectangles and ellipses, the bulk of every frame, take the painter's direct routes;
    // they fill exactly what the general path would.
    if (elements.size() == 1 && elements.front().kind == ScenePathElement::Kind::rect) {
        const QRectF rect = elements.front().rect.normalized();
        // An antialiased edge between pixels adds a span of its own to every row.
        const bool wholeColumns =
            device && rect.left() == std::round(rect.left()) && rect.right() == std::round(rect.right());
        paintInBands(
            painter_, qcolor.alpha() == 255 ? nullptr : device, rect.top(), rect.bottom(),
            [&] { painter_.fillRect(rect, qcolor); }, wholeColumns ? bandRows : maxSpans / 3);
        return;
    }
    const QPainterPath qpath = toQPainterPath(restoreTransform_ ? path : scenePath);
    if (device && fillOutline(painter_, *device, qpath, qcolor)) return;
    if (elements.size() == 1 && elements.front().kind == ScenePathElement::Kind::ellipse) {
        painter_.setPen(Qt::NoPen);
        painter_.setBrush(qcolor);
        painter_.drawEllipse(elements.front().rect);
        painter_.setBrush(Qt::NoBrush);
        return;
    }
    painter_.fillPath(qpath, qcolor);
}

void PainterSceneContext::stroke(const ScenePath& scenePath, const SceneColor& color, double lineWidth)
{
    const ScenePath path = restoreTransform_ ? scaledPath(scenePath, device_->scale) : ScenePath();
    const auto& elements = (restoreTransform_ ? path : scenePath).elements();
    if (restoreTransform_) lineWidth *= device_->scale;
    const DeviceSpace* device = device_ ? &*device_ : nullptr;
    QPen pen(toQColor(color), lineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    const bool hairline = lineWidth <= 1;
    if (elements.size() == 1 && elements.front().kind == ScenePathElement::Kind::polyline &&
        elements.front().points.size() == 2 && !elements.front().closed) {
        const QPointF a = elements.front().points[0], b = elements.front().points[1];
        if (device && drawAxisLine(painter_, *device, a, b, pen.color(), lineWidth)) return;
        painter_.setPen(pen);
        const double margin = hairline ? 2 : lineWidth / 2 + 1;
        // A wide line is a band of partly covered pixels along each side, each a span of its own, and its
        // covered run between them: every row holds about twice its sideways step more spans than rows.
        const double step = a.y() == b.y() ? 0 : std::abs((b.x() - a.x()) / (b.y() - a.y()));
        const int rows = hairline ? bandRows : std::max(1, int(maxSpans / (2 * std::ceil(std::min(step, 1e4)) + 4)));
        paintInBands(
            painter_, device, std::min(a.y(), b.y()) - margin, std::max(a.y(), b.y()) + margin,
            [&] { painter_.drawLine(a, b); }, rows);
        painter_.setPen(Qt::NoPen);
        return;
    }
    const QPainterPath qpath = toQPainterPath(restoreTransform_ ? path : scenePath);
    if (device && !hairline && std::isfinite(lineWidth)) {
        // The outline the engine itself fills for this pen.
        QPainterPathStroker stroker(pen);
        QPainterPath outline = stroker.createStroke(qpath);
        outline.setFillRule(Qt::WindingFill);
        if (fillOutline(painter_, *device, outline, pen.color())) return;
    }
    if (hairline) {
        const QRectF bounds = qpath.controlPointRect();
        paintInBands(painter_, device, bounds.top() - 2, bounds.bottom() + 2, [&] { painter_.strokePath(qpath, pen); });
        return;
    }
    painter_.strokePath(qpath, pen);
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
