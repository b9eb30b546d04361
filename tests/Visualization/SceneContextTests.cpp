#include "Visualization/SceneContext.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

using namespace korvalen;

TEST(PainterSceneContext, FillsWithWindingRuleAndStrokesWithFlatCaps)
{
    QImage image(100, 100, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        PainterSceneContext context(painter, SceneColors::cyan);
        // Two overlapping squares in one path: the overlap stays filled (even-odd would hollow it).
        context.fill(ScenePath::rect(QRectF(10, 10, 40, 40)).addRect(QRectF(30, 30, 40, 40)), SceneColors::white);
        // A star drawn as one polyline: its centre is wound twice and must be filled.
        ScenePath star;
        star.moveTo({85, 52}).lineTo({94, 80}).lineTo({70, 63}).lineTo({100, 63}).lineTo({76, 80}).close();
        context.fill(star, SceneColors::white);
        // A flat cap ends the line exactly at its end point.
        context.stroke(ScenePath::line({10, 90}, {40, 90}), SceneColors::white, 4);
    }
    EXPECT_EQ(image.pixelColor(40, 40), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(85, 67), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(25, 90), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(42, 90), QColor(Qt::black));
}

TEST(RecordingSceneContext, KeepsOperationsInOrderAsPlainValues)
{
    RecordingSceneContext context(SceneColors::orange);
    const ScenePath path = ScenePath::roundedRect(QRectF(1, 2, 3, 4), 0.5);
    context.fill(path, SceneColors::red.withOpacity(0.5));
    context.stroke(ScenePath::line({0, 0}, {1, 1}), SceneColors::blue, 2);
    ASSERT_EQ(context.operations().size(), 2u);
    EXPECT_EQ(context.operations()[0].path, path);
    EXPECT_DOUBLE_EQ(context.operations()[0].color.opacity, 0.5);
    EXPECT_EQ(context.operations()[1].kind, RecordingSceneContext::Operation::Kind::stroke);
    EXPECT_DOUBLE_EQ(context.operations()[1].lineWidth, 2);
    EXPECT_EQ(context.accent(), SceneColors::orange);
}
