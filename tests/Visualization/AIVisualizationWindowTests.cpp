#include "Visualization/AIVisualizationWindowController.h"
#include "Visualization/AIVisualizationWindowView.h"

#include "Visualization/SymbolGlyph.h"
#include "support/QtTestApp.h"

#include <QImage>
#include <QPainter>
#include <QScreen>

#include <gtest/gtest.h>

using namespace korvalen;
using AIVisualizationWindowGeometry::constrain;
using Placement = AIVisualizationWindowGeometry::Placement;

TEST(VisualizationWindowGeometry, KeepsTheWindowInsideTheVisibleFrame)
{
    struct Case {
        std::optional<QRectF> visible;
        QRectF frame;
        Placement expected;
    };
    const QSizeF fullMinimum(720, 405);
    const Case cases[] = {
        // a large screen: the centred window stays as it is
        {QRectF(0, 25, 1440, 875), QRectF(240, 192.5, 960, 540), {fullMinimum, QRectF(240, 192.5, 960, 540)}},
        // a small screen: minimum and frame shrink to it, at its origin
        {QRectF(10, 20, 600, 400), QRectF(-170, -50, 960, 540), {QSizeF(600, 400), QRectF(10, 20, 600, 400)}},
        // hanging over the right and bottom edges: moved back, size kept
        {QRectF(0, 0, 1440, 875), QRectF(1000, 600, 960, 540), {fullMinimum, QRectF(480, 335, 960, 540)}},
        // too small a window grows to the minimum
        {QRectF(0, 0, 1440, 875), QRectF(100, 100, 300, 200), {fullMinimum, QRectF(100, 100, 720, 405)}},
        // no usable screen: frame untouched
        {QRectF(0, 0, 0, 875), QRectF(5, 5, 960, 540), {fullMinimum, std::nullopt}},
        {std::nullopt, QRectF(5, 5, 960, 540), {fullMinimum, std::nullopt}},
        {QRectF(0, 0, qInf(), 875), QRectF(5, 5, 960, 540), {fullMinimum, std::nullopt}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(constrain(c.visible, c.frame), c.expected) << c.frame.x() << "," << c.frame.y();
}

TEST(VisualizationWindow, QuietCloseNeverReportsAndAUserCloseReportsOnce)
{
    test::qtApp(true);
    AIVisualizationRequest request{AIWorkloadID::imageClassification,
                                   "Image Classification",
                                   "MobileNet-class",
                                   AIBackend::cpu,
                                   AIVisualizationStyle::of(AIVisualizationStyle::Kind::classification),
                                   SceneColor::srgb(0.16, 0.78, 0.92)};
    int reports = 0;
    {
        AIVisualizationWindowController quiet(request);
        quiet.onClose = [&] { ++reports; };
        EXPECT_EQ(quiet.window()->windowTitle(), "Korvalen AI — Image Classification");
        EXPECT_GE(quiet.window()->minimumWidth(), 1);
        quiet.showWindow();
        quiet.closingQuietly = true;
        quiet.close();
        EXPECT_FALSE(quiet.window()->isVisible());
    }
    EXPECT_EQ(reports, 0);

    AIVisualizationWindowController byUser(request);
    byUser.onClose = [&] { ++reports; };
    byUser.showWindow();
    byUser.window()->close();  // as the window's close button does
    byUser.window()->close();
    byUser.close();
    EXPECT_EQ(reports, 1);
}

TEST(VisualizationWindow, DrawsItsFirstFrameBeforeItIsShown)
{
    test::qtApp(true);
    AIVisualizationWindowController controller(AIVisualizationRequest{
        AIWorkloadID::imageClassification, "Image Classification", "MobileNet-class", AIBackend::cpu,
        AIVisualizationStyle::of(AIVisualizationStyle::Kind::classification), SceneColor::srgb(0.16, 0.78, 0.92)});
    const QImage frame = controller.renderFirstFrame();
    EXPECT_FALSE(controller.window()->isVisible());
    EXPECT_EQ(frame.size(), controller.window()->size() * controller.window()->devicePixelRatio());
    // Laid out at the window's size: the header's title and the status panel are in place.
    auto inked = [&](int top, int bottom) {
        int count = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = 0; x < frame.width(); ++x) count += qGray(frame.pixel(x, y)) > 128;
        return count;
    };
    EXPECT_GT(inked(30, 60), 100) << "header";
    EXPECT_GT(inked(frame.height() - 50, frame.height() - 20), 100) << "status panel";
}

TEST(VisualizationWindow, IsPlacedAgainOnceShown)
{
    test::qtApp(true);
    AIVisualizationWindowController controller(AIVisualizationRequest{
        AIWorkloadID::imageClassification, "Image Classification", "MobileNet-class", AIBackend::cpu,
        AIVisualizationStyle::of(AIVisualizationStyle::Kind::classification), SceneColor::srgb(0.16, 0.78, 0.92)});
    // As a window manager's frame can: the shown window reaches past the visible area.
    const QRect visible = controller.window()->screen()->availableGeometry();
    controller.window()->setGeometry(visible.right() - 100, visible.bottom() - 100, 720, 405);
    controller.showWindow();
    EXPECT_TRUE(test::processEventsUntil([&] { return visible.contains(controller.window()->frameGeometry()); }));
    controller.closingQuietly = true;
}

TEST(VisualizationWindowView, PanelsFollowThePhase)
{
    test::qtApp(true);
    AIVisualizationModel model(AIVisualizationRequest{
        AIWorkloadID::llmTokenGeneration, "LLM Token Generation", "", AIBackend::automatic,
        AIVisualizationStyle::gpu(GPUVisualizationStyle::generativeTokenDecode), SceneColor::srgb(0.82, 0.49, 0.96)});
    AIVisualizationWindowView view(model);
    EXPECT_EQ(view.categorySymbol(), "wand.and.stars");
    EXPECT_EQ(view.backendText(), "Best Available (Calibrated)");
    EXPECT_EQ(view.backendSymbol(), "sparkles");
    // previewing takes the accent colour
    EXPECT_EQ(view.badgeText(), "GENERATING PREVIEW");
    EXPECT_EQ(view.badgeColor(), QColor::fromRgbF(0.82f, 0.49f, 0.96f));

    struct Row {
        AIVisualizationPhase phase;
        const char* score;
        const char* throughput;
        QStringList lines;
        const char* symbol;
        const char* caption;
    };
    const Row rows[] = {
        {AIVisualizationPhase::scoring,
         "",
         "",
         {"The animated scene is frozen while the timed AI measurement runs."},
         "pause.circle.fill",
         "PREVIEW EXCLUDED FROM SCORE"},
        {AIVisualizationPhase::sustainedLive,
         "",
         "",
         {"Live low-rate sustained dashboard — benchmark is still running."},
         "waveform.path.ecg",
         "LIVE SUSTAINED STATUS"},
        {AIVisualizationPhase::completed,
         "Score 1235",
         "12.500 tokens/s",
         {"Score 1235", "12.500 tokens/s"},
         "sparkles",
         "PREVIEW EXCLUDED FROM SCORE"},
        {AIVisualizationPhase::completed,
         "Result unavailable",
         "",
         {"Result unavailable"},
         "sparkles",
         "PREVIEW EXCLUDED FROM SCORE"},
        {AIVisualizationPhase::stopped,
         "Stopping after active AI kernel",
         "",
         {"Stopping after active AI kernel"},
         "sparkles",
         "PREVIEW EXCLUDED FROM SCORE"},
    };
    for (const auto& row : rows) {
        model.setScoreText(row.score);
        model.setThroughputText(row.throughput);
        model.setPhase(row.phase);
        EXPECT_EQ(view.badgeText(), QString::fromStdString(std::string(rawValue(row.phase))));
        EXPECT_EQ(view.statusLines(), row.lines);
        EXPECT_EQ(view.phaseSymbol(), row.symbol);
        EXPECT_EQ(view.captionText(), row.caption);
    }
    EXPECT_EQ(view.badgeColor(), QColor::fromRgbF(1.0f, 0.271f, 0.227f)) << "a stop is red";
}

TEST(SymbolGlyphs, EveryNamedSymbolDrawsSomething)
{
    test::qtApp(true);
    std::vector<std::string> names{"sparkles", "pause.circle.fill", "waveform.path.ecg", "cpu", "display", "brain"};
    for (auto category : allCategories) names.push_back(AIVisualizationWindowView::categorySymbol(category));
    for (const auto& name : names) {
        EXPECT_TRUE(SymbolGlyph::has(name)) << name;
        QImage image(24, 24, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        SymbolGlyph::paint(painter, name, QRectF(0, 0, 24, 24), Qt::white);
        painter.end();
        int inked = 0;
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 24; ++x) inked += qAlpha(image.pixel(x, y)) > 128;
        EXPECT_GT(inked, 20) << name;
        EXPECT_LT(inked, 24 * 24 / 2 + 150) << name;
    }
    EXPECT_FALSE(SymbolGlyph::has("gear"));
}
