#include "Assistant/Views/AssistantBubble.h"
#include "Views/Theme.h"
#include "Visualization/AIVisualizationWindowView.h"
#include "support/QtTestApp.h"
#include "support/ScreenInk.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>

using namespace korvalen;

namespace {

struct ThemeTest : ::testing::Test {
    void SetUp() override
    {
        korvalen::test::qtApp(true);
        Theme::applyToApplication();
    }
};

struct FontRule {
    const char* label;
    int pixels;
    QFont::Weight weight;
};

}  // namespace

// The application's theme leaves the fonts and colours the scene window sets to the window.
TEST_F(ThemeTest, SceneWindowKeepsItsOwnFontsAndPhaseColours)
{
    const SceneColor accent = SceneColor::srgb(0.16, 0.78, 0.92);
    AIVisualizationModel model(AIVisualizationRequest{
        AIWorkloadID::imageClassification, "Image Classification", "Validated vision inference, batch 1",
        AIBackend::gpu, AIVisualizationStyle::of(AIVisualizationStyle::Kind::classification), accent});
    AIVisualizationWindowView view(model);
    view.resize(960, 540);
    view.show();
    QCoreApplication::processEvents();

    const FontRule fonts[] = {
        {"VisualizationTitle", 16, QFont::DemiBold}, {"VisualizationBadge", 10, QFont::Bold},
        {"VisualizationCaption", 9, QFont::Bold},    {"VisualizationSubtitle", 11, QFont::Normal},
        {"VisualizationBackend", 10, QFont::Normal},
    };
    for (const FontRule& rule : fonts) {
        auto* label = view.findChild<QLabel*>(rule.label);
        ASSERT_NE(label, nullptr) << rule.label;
        EXPECT_EQ(label->font().pixelSize(), rule.pixels) << rule.label;
        EXPECT_EQ(label->font().weight(), rule.weight) << rule.label;
    }
    // Secondary texts stay quieter than the title.
    const QColor title = view.findChild<QLabel*>("VisualizationTitle")->palette().color(QPalette::WindowText);
    for (const char* secondary : {"VisualizationCaption", "VisualizationSubtitle", "VisualizationBackend"})
        EXPECT_LT(view.findChild<QLabel*>(secondary)->palette().color(QPalette::WindowText).alpha(), title.alpha())
            << secondary;

    struct PhaseColour {
        AIVisualizationPhase phase;
        SceneColor colour;
    };
    const PhaseColour phases[] = {
        {AIVisualizationPhase::previewing, accent},           {AIVisualizationPhase::sustainedLive, SceneColors::cyan},
        {AIVisualizationPhase::scoring, SceneColors::orange}, {AIVisualizationPhase::completed, SceneColors::green},
        {AIVisualizationPhase::stopped, SceneColors::red},
    };
    auto* badge = view.findChild<QLabel*>("VisualizationBadge");
    for (const PhaseColour& p : phases) {
        model.setPhase(p.phase);
        QCoreApplication::processEvents();
        const QColor expected = QColor::fromRgbF(float(p.colour.red), float(p.colour.green), float(p.colour.blue));
        EXPECT_TRUE(test::nearColour(test::inkOf(badge), expected))
            << rawValue(p.phase) << ": " << test::inkOf(badge).name().toStdString();
    }
}

TEST_F(ThemeTest, BubbleHeaderIsSmallerThanItsText)
{
    AssistantBubble bubble({Uuid::random(), AIAssistantRole::assistant, "Hello", now()});
    bubble.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(bubble.speakerLabel()->font().pixelSize(), AssistantBubble::headerPixels);
    EXPECT_EQ(bubble.speakerLabel()->font().weight(), QFont::DemiBold);
    EXPECT_EQ(bubble.textView()->font().pixelSize(), AssistantBubble::textPixels);
    EXPECT_LT(AssistantBubble::headerPixels, AssistantBubble::textPixels);
}
