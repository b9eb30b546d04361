#include "Platform/System/ResidentMemory.h"
#include "Visualization/AIVisualizationCanvas.h"
#include "Visualization/SceneContext.h"

#include "support/QtTestApp.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

using namespace korvalen;

namespace {

int largestChannelDifference(const QImage& a, const QImage& b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar* pa = a.constScanLine(y);
        const uchar* pb = b.constScanLine(y);
        for (int x = 0; x < a.width() * 4; ++x) largest = std::max(largest, std::abs(pa[x] - pb[x]));
    }
    return largest;
}

ScenePath noisyWave(double top, double height, int points)
{
    ScenePath wave;
    for (int j = 0; j < points; ++j) {
        const QPointF p(20 + 3.3 * j, top + height * (0.5 + 0.45 * std::sin(1.7 * j) * std::cos(0.37 * j)));
        j == 0 ? wave.moveTo(p) : wave.lineTo(p);
    }
    return wave;
}

}  // namespace

// The window draws beside a running benchmark: no frame may wake Qt's GUI thread pool, at a pixel
// ratio of 1 or on a display scaled ×2. A hand-off to the pool happens on every drawing of a frame;
// other threads of the process (the sanitizers', OpenBLAS's) switch now and then, so a frame counts
// as clean when one of three drawings saw no other thread switch. OpenBLAS's threads spin for a
// while after the library loads, so the frames start once no other thread has run for 50 ms.
TEST(PainterSceneContext, EverySceneDrawsOnThePaintingThreadAlone)
{
    test::qtApp(true);
    for (int wait = 0; wait < 100; ++wait) {
        const long long before = sys::otherThreadsContextSwitches();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (sys::otherThreadsContextSwitches() == before) break;
    }
    for (const double ratio : {1.0, 2.0}) {
        QImage image(int(960 * ratio), int(540 * ratio), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        for (const auto& style : allVisualizationStyles()) {
            long long fewest = -1;
            for (int attempt = 0; attempt < 3 && fewest != 0; ++attempt) {
                const long long before = sys::otherThreadsContextSwitches();
                {
                    QPainter painter(&image);
                    PainterSceneContext context(painter, SceneColors::cyan);
                    AIVisualizationCanvas::drawFrame(context, style, QSizeF(960, 540), 8.2e8 + 0.123);
                }
                const long long switches = sys::otherThreadsContextSwitches() - before;
                if (fewest < 0 || switches < fewest) fewest = switches;
            }
            EXPECT_EQ(fewest, 0) << styleName(style) << " at ×" << ratio;
        }
    }
}

// Tall and wide shapes take routes of their own (bands, pixel pieces, an own rasterizer) that keep the
// engine's blends on the painting thread. Each must paint what the general path paints, up to blending
// rounding, and leave the painter as it found it. A clipped painter takes the general path throughout.
TEST(PainterSceneContext, FastRoutesPaintWhatTheGeneralPathPaints)
{
    struct Case {
        const char* name;
        QPoint translation;
        std::function<void(SceneContext&)> scene;
        // Wide lines drawn in bands: the engine's line rasterizer rounds where a clipped line starts a
        // little differently from an unclipped one.
        int tolerance = 2;
    };
    const Case cases[] = {
        {"vertical hairlines between whole pixels",
         {0, 0},
         [](SceneContext& c) {
             for (double x : {0.0, 56.47, 112.94, 300.5, 511.0})
                 c.stroke(ScenePath::line({x, 0}, {x, 420}), SceneColors::white.withOpacity(0.6), 0.7);
         }},
        {"horizontal, fractional and sloped hairlines",
         {3, -4},
         [](SceneContext& c) {
             c.stroke(ScenePath::line({0, 54.3}, {500, 54.3}), SceneColors::white, 1);
             c.stroke(ScenePath::line({80.5, 10.2}, {80.5, 390.7}), SceneColors::white, 1);
             c.stroke(ScenePath::line({10, 10.2}, {400, 390.7}), SceneColors::white, 1);
             c.stroke(noisyWave(20, 380, 100), SceneColors::yellow, 0.8);
         },
         5},
        {"tall translucent rectangle",
         {0, 0},
         [](SceneContext& c) {
             c.fill(ScenePath::rect(QRectF(40.25, 5.5, 200.4, 400.3)), SceneColors::cyan.withOpacity(0.4));
         }},
        {"large opaque circle",
         {5, 2},
         [](SceneContext& c) {
             c.fill(ScenePath::circle({256.4, 215.8}, 195.1), SceneColors::green);
         }},
        {"rounded rectangle with a hairline outline",
         {0, 0},
         [](SceneContext& c) {
             const ScenePath outline = ScenePath::roundedRect(QRectF(30.5, 20.2, 440.3, 380.6), 40);
             c.fill(outline, SceneColors::purple.withOpacity(0.7));
             c.stroke(outline, SceneColors::white, 1);
         }},
        {"wide stroke of curves",
         {0, 0},
         [](SceneContext& c) {
             c.stroke(ScenePath::roundedRect(QRectF(30.5, 20.2, 440.3, 380.6), 40), SceneColors::red, 2.5);
         }},
        {"self-overlapping polygons",
         {0, 0},
         [](SceneContext& c) {
             ScenePath star;
             star.moveTo({250, 20}).lineTo({370, 400}).lineTo({60, 160}).lineTo({440, 160}).lineTo({130, 400}).close();
             c.fill(star.addRect(QRectF(200, 100, 100, 250)), SceneColors::white);
         }},
        {"wide noisy polyline stroke",
         {-2, 1},
         [](SceneContext& c) {
             c.stroke(noisyWave(130, 40, 141), SceneColors::orange.withOpacity(0.88), 1.6);
             c.stroke(noisyWave(20, 380, 96), SceneColors::blue, 3);
         }},
        {"translucent circle reaching past the top and the right",
         {0, 0},
         [](SceneContext& c) {
             c.fill(ScenePath::circle({430.3, 20.6}, 180.4), SceneColors::cyan.withOpacity(0.3));
         }},
        {"wide lines: axis-aligned with fractional ends, and sloped",
         {0, 0},
         [](SceneContext& c) {
             c.stroke(ScenePath::line({60.25, 12.5}, {60.25, 400.2}), SceneColors::white.withOpacity(0.5), 1.4);
             c.stroke(ScenePath::line({20.5, 300.3}, {480.1, 300.3}), SceneColors::green, 2.5);
             c.stroke(ScenePath::line({30, 20}, {470, 410}), SceneColors::yellow.withOpacity(0.7), 2);
             c.stroke(ScenePath::line({10, 200}, {500, 230}), SceneColors::red, 1.8);
         },
         5},
    };
    // At a pixel ratio the context draws in device pixels itself; the general path lets the painter scale.
    for (const double ratio : {1.0, 2.0, 1.5}) {
        for (const Case& test : cases) {
            SCOPED_TRACE(std::string(test.name) + " at ×" + std::to_string(ratio));
            QImage routed(int(512 * ratio), int(420 * ratio), QImage::Format_ARGB32_Premultiplied);
            routed.setDevicePixelRatio(ratio);
            routed.fill(QColor(5, 6, 10));
            QImage general = routed;
            {
                QPainter painter(&routed);
                painter.translate(test.translation);
                {
                    PainterSceneContext context(painter, SceneColors::cyan);
                    test.scene(context);
                    EXPECT_FALSE(painter.hasClipping());
                    EXPECT_TRUE(painter.testRenderHint(QPainter::Antialiasing));
                }
                EXPECT_EQ(painter.worldTransform(),
                          QTransform::fromTranslate(test.translation.x(), test.translation.y()));
            }
            {
                QPainter painter(&general);
                painter.translate(test.translation);
                painter.setClipRect(QRect(QPoint(-test.translation.x(), -test.translation.y()), QSize(512, 420)));
                PainterSceneContext context(painter, SceneColors::cyan);
                test.scene(context);
            }
            // Rounding only; a lost or misplaced edge differs by far more.
            EXPECT_LE(largestChannelDifference(routed, general), test.tolerance);
        }
    }
}
