#include "Visualization/AIVisualizationCanvas.h"

#include "support/QtTestApp.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

using namespace korvalen;

namespace {

class VisualizationCanvas : public ::testing::Test {
protected:
    QImage renderAt(AIVisualizationPhase phase, double clock)
    {
        now = clock;
        model.setPhase(phase);
        QImage image(canvas.size(), QImage::Format_ARGB32_Premultiplied);
        canvas.render(&image);
        return image;
    }

    QCoreApplication& app = test::qtApp(true);
    AIVisualizationRequest request{AIWorkloadID::imageClassification,
                                   "Image Classification",
                                   "",
                                   AIBackend::cpu,
                                   AIVisualizationStyle::of(AIVisualizationStyle::Kind::classification),
                                   SceneColor::srgb(0.16, 0.78, 0.92)};
    AIVisualizationModel model{request};
    double now = 8.2e8;
    AIVisualizationCanvas canvas{model, nullptr, [this] { return now; }};
};

}  // namespace

TEST_F(VisualizationCanvas, FrozenPhasesIgnoreTheClockAndLivePhasesFollowIt)
{
    canvas.resize(320, 180);
    for (auto phase : allVisualizationPhases) {
        const QImage first = renderAt(phase, 8.2e8);
        const QImage second = renderAt(phase, 8.2e8 + 1.7);
        if (animates(phase))
            EXPECT_NE(first, second) << rawValue(phase);
        else
            EXPECT_EQ(first, second) << rawValue(phase);
    }
    // Frozen means the picture of time 1.35, not of some other constant.
    EXPECT_EQ(renderAt(AIVisualizationPhase::scoring, 5), renderAt(AIVisualizationPhase::completed, 1.35));
    EXPECT_EQ(AIVisualizationCanvas::frameTime(AIVisualizationPhase::stopped, 8.2e8), 1.35);
    EXPECT_EQ(AIVisualizationCanvas::frameTime(AIVisualizationPhase::sustainedLive, 8.2e8), 8.2e8);
}

// On a scaled display the scene is drawn at the display's resolution, in the same logical coordinates,
// never drawn small and enlarged.
TEST_F(VisualizationCanvas, DrawsAtTheDevicePixelRatioOfItsTarget)
{
    canvas.resize(320, 180);
    model.setPhase(AIVisualizationPhase::completed);
    QImage shown(640, 360, QImage::Format_ARGB32_Premultiplied);
    shown.setDevicePixelRatio(2);
    canvas.render(&shown);

    QImage expected(640, 360, QImage::Format_ARGB32_Premultiplied);
    expected.setDevicePixelRatio(2);
    {
        QPainter painter(&expected);
        PainterSceneContext context(painter, request.accent);
        AIVisualizationCanvas::drawFrame(context, request.style, QSizeF(320, 180), now);
    }
    EXPECT_EQ(shown, expected);
    EXPECT_NE(shown, renderAt(AIVisualizationPhase::completed, now).scaled(640, 360));
}

TEST_F(VisualizationCanvas, EveryModelChangeRestartsTheTimerWithThePhaseInterval)
{
    const std::pair<AIVisualizationPhase, int> intervals[] = {
        {AIVisualizationPhase::completed, 33},      {AIVisualizationPhase::scoring, 3600000},
        {AIVisualizationPhase::sustainedLive, 125}, {AIVisualizationPhase::stopped, 3600000},
        {AIVisualizationPhase::previewing, 33},
    };
    EXPECT_EQ(canvas.timerInterval(), 33) << "a new model is previewing";
    for (auto [phase, ms] : intervals) {
        model.setPhase(phase);
        EXPECT_EQ(canvas.timerInterval(), ms) << rawValue(phase);
        EXPECT_NEAR(AIVisualizationCanvas::refreshInterval(phase) * 1000, ms, 0.34);
    }
}

TEST(VisualizationClock, CountsSecondsFromTheStartOf2001)
{
    using namespace std::chrono;
    const auto reference = sys_days(year(2001) / January / 1);
    EXPECT_EQ(AIVisualizationCanvas::secondsSinceReferenceDate(reference), 0.0);
    EXPECT_EQ(AIVisualizationCanvas::secondsSinceReferenceDate(reference + milliseconds(1500)), 1.5);
    EXPECT_EQ(AIVisualizationCanvas::secondsSinceReferenceDate(sys_days(year(2026) / December / 7)), 818294400.0);
    EXPECT_EQ(AIVisualizationCanvas::secondsSinceReferenceDate(reference - seconds(2)), -2.0);
}
