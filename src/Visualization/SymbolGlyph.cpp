#include "Visualization/SymbolGlyph.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>

namespace korvalen::SymbolGlyph {

namespace {

// Every glyph is drawn in a 24 × 24 box with these two helpers.
struct Pen {
    QPainter& p;
    QColor color;
    void stroke(const QPainterPath& path, double width = 1.8) const
    {
        p.strokePath(path, QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    }
    void fill(const QPainterPath& path) const { p.fillPath(path, color); }
};

QPainterPath circle(double cx, double cy, double r)
{
    QPainterPath path;
    path.addEllipse(QPointF(cx, cy), r, r);
    return path;
}

QPainterPath line(std::initializer_list<QPointF> points)
{
    QPainterPath path;
    auto it = points.begin();
    path.moveTo(*it);
    for (++it; it != points.end(); ++it) path.lineTo(*it);
    return path;
}

QPainterPath roundedRect(double x, double y, double w, double h, double r)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(x, y, w, h), r, r);
    return path;
}

// A four-pointed star with concave sides.
QPainterPath star(double cx, double cy, double r)
{
    QPainterPath path;
    const double k = 0.18 * r;
    path.moveTo(cx, cy - r);
    path.quadTo(cx + k, cy - k, cx + r, cy);
    path.quadTo(cx + k, cy + k, cx, cy + r);
    path.quadTo(cx - k, cy + k, cx - r, cy);
    path.quadTo(cx - k, cy - k, cx, cy - r);
    path.closeSubpath();
    return path;
}

void chipPins(const Pen& pen, double from, double to, int count, bool allSides)
{
    for (int i = 0; i < count; ++i) {
        const double x = from + (to - from) * i / (count - 1);
        pen.stroke(line({{x, 2.5}, {x, 5}}), 1.5);
        pen.stroke(line({{x, 19}, {x, 21.5}}), 1.5);
        if (allSides) {
            pen.stroke(line({{2.5, x}, {5, x}}), 1.5);
            pen.stroke(line({{19, x}, {21.5, x}}), 1.5);
        }
    }
}

using Drawer = std::function<void(const Pen&)>;

const std::map<std::string, Drawer, std::less<>>& drawers()
{
    static const std::map<std::string, Drawer, std::less<>> table = {
        {"eye",
         [](const Pen& pen) {
             QPainterPath lid;
             lid.moveTo(2, 12);
             lid.quadTo(12, 1, 22, 12);
             lid.quadTo(12, 23, 2, 12);
             lid.closeSubpath();
             pen.stroke(lid);
             pen.fill(circle(12, 12, 3.6));
         }},
        {"text.bubble",
         [](const Pen& pen) {
             QPainterPath bubble;
             bubble.addRoundedRect(QRectF(2.5, 3.5, 19, 13.5), 4, 4);
             bubble.moveTo(7, 17);
             bubble.lineTo(5.5, 21.5);
             bubble.lineTo(11, 17);
             pen.stroke(bubble);
             pen.stroke(line({{6.5, 8.2}, {17.5, 8.2}}), 1.5);
             pen.stroke(line({{6.5, 12.3}, {14, 12.3}}), 1.5);
         }},
        {"wand.and.stars",
         [](const Pen& pen) {
             pen.stroke(line({{3, 21}, {15, 9}}), 2.2);
             pen.fill(star(17.5, 5.5, 3.5));
             pen.fill(star(9, 4.5, 2.2));
             pen.fill(star(20, 14, 2.2));
         }},
        {"waveform",
         [](const Pen& pen) {
             const double heights[] = {4, 9, 15, 7, 18, 11, 5, 9, 3};
             for (int i = 0; i < 9; ++i) {
                 const double x = 3 + i * 2.25;
                 pen.stroke(line({{x, 12 - heights[i] / 2}, {x, 12 + heights[i] / 2}}), 1.5);
             }
         }},
        {"square.stack.3d.up",
         [](const Pen& pen) {
             auto layer = [&](double y, bool filled) {
                 QPainterPath rhombus = line({{12, y - 4.5}, {21, y}, {12, y + 4.5}, {3, y}});
                 rhombus.closeSubpath();
                 filled ? pen.fill(rhombus) : pen.stroke(rhombus, 1.5);
             };
             layer(17, false);
             layer(12, false);
             layer(7, true);
         }},
        {"arrow.triangle.2.circlepath",
         [](const Pen& pen) {
             QPainterPath upper, lower;
             upper.arcMoveTo(QRectF(4, 4, 16, 16), 160);
             upper.arcTo(QRectF(4, 4, 16, 16), 160, -145);
             lower.arcMoveTo(QRectF(4, 4, 16, 16), -20);
             lower.arcTo(QRectF(4, 4, 16, 16), -20, -145);
             pen.stroke(upper);
             pen.stroke(lower);
             QPainterPath heads = line({{17.2, 8.2}, {22, 11.5}, {22.6, 6}});
             heads.closeSubpath();
             QPainterPath head2 = line({{6.8, 15.8}, {2, 12.5}, {1.4, 18}});
             head2.closeSubpath();
             pen.fill(heads);
             pen.fill(head2);
         }},
        {"memorychip",
         [](const Pen& pen) {
             pen.stroke(roundedRect(4, 5, 16, 14, 2));
             chipPins(pen, 7, 17, 4, false);
             pen.fill(roundedRect(8, 9, 8, 6, 1));
         }},
        {"thermometer.medium",
         [](const Pen& pen) {
             QPainterPath tube;
             tube.addRoundedRect(QRectF(9.5, 2, 5, 14), 2.5, 2.5);
             pen.stroke(tube, 1.6);
             pen.stroke(circle(12, 18.2, 3.8), 1.6);
             pen.fill(circle(12, 18.2, 2.3));
             pen.stroke(line({{12, 9}, {12, 16}}), 2.2);
         }},
        {"sparkles",
         [](const Pen& pen) {
             pen.fill(star(10, 13, 8));
             pen.fill(star(18.5, 5, 3.5));
             pen.fill(star(19, 18.5, 2.5));
         }},
        {"pause.circle.fill",
         [](const Pen& pen) {
             QPainterPath disc = circle(12, 12, 10);
             QPainterPath bars;
             bars.addRoundedRect(QRectF(8.4, 7, 2.6, 10), 1, 1);
             bars.addRoundedRect(QRectF(13, 7, 2.6, 10), 1, 1);
             pen.fill(disc.subtracted(bars));
         }},
        {"waveform.path.ecg",
         [](const Pen& pen) {
             pen.stroke(
                 line({{1.5, 12.5}, {6, 12.5}, {8, 9}, {10, 17}, {13, 3.5}, {15.5, 20.5}, {17.5, 12.5}, {22.5, 12.5}}));
         }},
        {"cpu",
         [](const Pen& pen) {
             pen.stroke(roundedRect(5, 5, 14, 14, 2.2));
             chipPins(pen, 8.5, 15.5, 3, true);
             pen.fill(roundedRect(9, 9, 6, 6, 1));
         }},
        {"display",
         [](const Pen& pen) {
             pen.stroke(roundedRect(2.5, 3.5, 19, 13, 2));
             pen.stroke(line({{12, 16.5}, {12, 20}}));
             pen.stroke(line({{7.5, 20.5}, {16.5, 20.5}}));
         }},
        {"brain",
         [](const Pen& pen) {
             QPainterPath left, right;
             left.moveTo(11.3, 3.5);
             left.cubicTo(6, 2, 3.5, 5.5, 4.5, 8.5);
             left.cubicTo(1.5, 10.5, 2, 15, 4.5, 16);
             left.cubicTo(4.5, 20, 8.5, 21.5, 11.3, 20);
             right.moveTo(12.7, 3.5);
             right.cubicTo(18, 2, 20.5, 5.5, 19.5, 8.5);
             right.cubicTo(22.5, 10.5, 22, 15, 19.5, 16);
             right.cubicTo(19.5, 20, 15.5, 21.5, 12.7, 20);
             pen.stroke(left, 1.6);
             pen.stroke(right, 1.6);
             pen.stroke(line({{12, 3.5}, {12, 20}}), 1.2);
             pen.stroke(line({{5.5, 11}, {8.5, 11}, {9, 8}}), 1.3);
             pen.stroke(line({{18.5, 13}, {15.5, 13}, {15, 16}}), 1.3);
         }},
    };
    return table;
}

}  // namespace

bool has(std::string_view name)
{
    return drawers().find(name) != drawers().end();
}

void paint(QPainter& painter, std::string_view name, const QRectF& box, const QColor& color)
{
    const auto it = drawers().find(name);
    if (it == drawers().end() || box.width() <= 0 || box.height() <= 0) return;
    const double side = std::min(box.width(), box.height());
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
    painter.scale(side / 24.0, side / 24.0);
    it->second(Pen{painter, color});
    painter.restore();
}

QIcon icon(std::string_view name, const QColor& color, int size)
{
    QPixmap pixmap(size * 2, size * 2);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        paint(painter, name, QRectF(0, 0, size * 2, size * 2), color);
    }
    pixmap.setDevicePixelRatio(2);
    return QIcon(pixmap);
}

const char* categorySymbol(AICategory category)
{
    switch (category) {
    case AICategory::vision: return "eye";
    case AICategory::language: return "text.bubble";
    case AICategory::generative: return "wand.and.stars";
    case AICategory::audio: return "waveform";
    case AICategory::compute: return "square.stack.3d.up";
    case AICategory::training: return "arrow.triangle.2.circlepath";
    case AICategory::memory: return "memorychip";
    case AICategory::sustained: return "thermometer.medium";
    }
    return "";
}

}  // namespace korvalen::SymbolGlyph
