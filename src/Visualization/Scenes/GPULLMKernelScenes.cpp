#include "Visualization/Scenes/Scenes.h"

#include "Visualization/SceneDrawing.h"
#include "Visualization/Scenes/GPUSceneParts.h"

#include <cmath>

namespace korvalen::scene {

void drawGPULLMGEMV(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const QRectF w(s.left(), s.top() + 0.05 * s.height(), 0.54 * s.width(), 0.9 * s.height());
    drawPanel(context, w, purple);
    drawTileMatrix(context, w, 12, 12, 16, purple, 0.4 * time, 1.8, 181);

    // 4.5 rows a second; the remainder keeps the row within 0...11.
    const std::int64_t row = timeIndex(std::fmod(4.5 * time, 12.0));
    const double rowHeight = (w.height() - 24) / 12;
    const QRectF active(w.left() + 12, w.top() + 12 + rowHeight * static_cast<double>(row), w.width() - 24, rowHeight);
    strokeRoundedRect(context, active, 3, white.withOpacity(0.62), 1.4);

    const double vectorX = s.left() + 0.66 * s.width();
    for (int i = 0; i < 12; ++i) {
        const QPointF centre(vectorX, s.top() + 18 + (s.height() - 36) * i / 11);
        fillCircle(context, centre, 3.5 + 2.5 * noise(850, i),
                   cyan.withOpacity(0.5 + 0.3 * (0.5 + 0.5 * std::sin(1.5 * time + i))));
    }
    drawFlowDots(context, {w.right(), active.center().y()}, {vectorX - 12, s.center().y()}, purple, 7, 0.92, 0, time);
    drawFlowDots(context, {vectorX + 12, s.center().y()}, {s.right() - 0.08 * s.width(), s.center().y()}, cyan, 5, 0.76,
                 0, time);
}

void drawGPULLMQ4Dequant(SceneContext& context, QSizeF size, double time)
{
    using namespace SceneColors;
    const QRectF s = sceneArea(size);
    const QRectF q(s.left(), s.top(), 0.33 * s.width(), s.height());
    const QRectF d(s.left() + 0.43 * s.width(), s.top(), 0.22 * s.width(), s.height());
    const QRectF m(s.left() + 0.75 * s.width(), s.top(), 0.25 * s.width(), s.height());
    drawPanel(context, q, green);
    drawPanel(context, d, orange);
    drawPanel(context, m, purple);

    // A fixed nibble pattern: (3 + 7·i) mod 16 visits every value 0...15 once per 16 cells.
    for (int i = 0; i < 48; ++i) {
        const int column = i % 6;
        const int row = i / 6;
        const int nibble = (3 + 7 * i) % 16;
        const QRectF cell(q.left() + 10 + (q.width() - 20) * column / 6, q.top() + 12 + (q.height() - 24) * row / 8,
                          (q.width() - 32) / 6, 10);
        fillRoundedRect(context, cell, 2, green.withOpacity(0.12 + 0.68 * nibble / 15));
    }

    for (int j = 0; j < 10; ++j) {
        const double length = d.width() * (0.25 + 0.58 * noise(900, j));
        const QRectF bar(d.center().x() - length / 2, d.top() + 18 + (d.height() - 36) * j / 9 - 4, length, 8);
        fillRoundedRect(context, bar, 4, orange.withOpacity(0.56 + 0.18 * std::sin(time + j)));
    }

    const QRectF unit = m.adjusted(14, 0.18 * m.height(), -14, -0.18 * m.height());
    drawCoreUnit(context, unit, 8, 3, purple, time);

    drawFlowDots(context, {q.right(), q.center().y()}, {d.left(), d.center().y()}, green, 7, 0.86, 0, time);
    drawFlowDots(context, {d.right(), d.center().y()}, {m.left(), m.center().y()}, orange, 7, 0.86, 0.31, time);
}

}  // namespace korvalen::scene
