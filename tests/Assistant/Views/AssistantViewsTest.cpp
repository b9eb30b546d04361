#include "Assistant/Views/AssistantBubble.h"
#include "Assistant/Views/AssistantProviderSelector.h"
#include "support/QtTestApp.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <vector>

namespace korvalen {
namespace {

void clickAt(QWidget* widget, QPoint point)
{
    const QPointF local(point);
    const QPointF global = widget->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, {});
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, {});
    QCoreApplication::sendEvent(widget, &press);
    QCoreApplication::sendEvent(widget, &release);
}

TEST(AssistantBubbleView, ShowsUntrustedTextAsPlainTextOnItsSide)
{
    test::qtApp(true);
    const std::string hostile = "<b>bold</b><img src=x onerror=alert(1)> <a href='http://x'>link</a>";
    struct Case {
        AIAssistantRole role;
        const char* speaker;
        const char* symbol;
        AssistantBubbleAppearance appearance;
    };
    const Case cases[] = {
        {AIAssistantRole::user, "You", "person.fill", AssistantBubbleAppearance::user},
        {AIAssistantRole::assistant, "Korvalen AI Assistant", "brain", AssistantBubbleAppearance::assistant},
        {AIAssistantRole::system, "Korvalen AI Assistant", "brain", AssistantBubbleAppearance::assistant},
    };
    for (const Case& c : cases) {
        AssistantBubble bubble({Uuid::random(), c.role, hostile, now()});
        EXPECT_EQ(bubble.appearance(), c.appearance);
        EXPECT_EQ(bubble.speakerLabel()->text(), c.speaker);
        EXPECT_EQ(bubble.symbolName(), c.symbol);
        EXPECT_EQ(bubble.textView()->text().toStdString(), hostile);
        EXPECT_EQ(bubble.textView()->document()->toHtml().count("<img"), 0);
        EXPECT_TRUE(bubble.textView()->textInteractionFlags() & Qt::TextSelectableByMouse);
    }
}

TEST(AssistantBubbleView, TakesTheRowUpToItsMaximumAndWrapsLongWords)
{
    test::qtApp(true);
    const int maximum = AssistantBubble::maximumContentWidth;
    const std::string longWord(3000, 'w');
    struct Case {
        AIAssistantRole role;
        std::string text;
        int rowWidth;
        int left, width;  // the content's place in the row
    };
    const Case cases[] = {
        // a one-line question and a long answer in a 1000 px row: both 620 wide, on their own sides
        {AIAssistantRole::user, "Why?", 1000, 1000 - maximum, maximum},
        {AIAssistantRole::assistant, "A long answer. " + std::string(400, 'a') + " end", 1000, 0, maximum},
        // a narrow row: the bubble keeps its distance from the opposite side, a long word wraps
        {AIAssistantRole::assistant, longWord, 400, 0, 400 - AssistantBubble::oppositeSideGap},
        {AIAssistantRole::user, longWord, 400, AssistantBubble::oppositeSideGap,
         400 - AssistantBubble::oppositeSideGap},
    };
    for (const Case& c : cases) {
        AssistantBubble bubble({Uuid::random(), c.role, c.text, now()});
        bubble.resize(c.rowWidth, bubble.heightForWidth(c.rowWidth));
        bubble.show();
        QCoreApplication::processEvents();
        const QRect content = bubble.content()->geometry();
        EXPECT_EQ(content.left(), c.left) << c.rowWidth;
        EXPECT_EQ(content.width(), c.width) << c.rowWidth;
        // Every line of the text lies inside the bubble, none cut at its right edge or bottom.
        AssistantBubbleText* text = bubble.textView();
        text->document()->setTextWidth(text->viewport()->width());
        EXPECT_LE(text->document()->idealWidth(), text->viewport()->width() + 1);
        EXPECT_GE(text->height(), int(text->document()->size().height()));
        EXPECT_LE(text->geometry().right(), content.width() - 10);
    }
}

TEST(AssistantProviderSelectorView, SelectsReportsAndHonoursDisabled)
{
    test::qtApp(true);
    std::vector<AIAssistantProvider> chosen;
    AssistantProviderSelector selector(AIAssistantProvider::localModel, false,
                                       [&](AIAssistantProvider p) { chosen.push_back(p); });
    auto* local = selector.segment(AIAssistantProvider::localModel);
    auto* expert = selector.segment(AIAssistantProvider::olvaneExpert);
    EXPECT_EQ(local->shownSymbol(), "checkmark.circle.fill");
    EXPECT_EQ(expert->shownSymbol(), "brain.head.profile");
    EXPECT_EQ(local->text(), "Local LLM");
    EXPECT_EQ(expert->text(), "Olvane Expert 2");

    selector.resize(400, 40);
    selector.show();
    clickAt(local, QPoint(local->width() - 4, local->height() / 2));
    clickAt(expert, QPoint(4, 4));
    EXPECT_EQ(chosen, (std::vector{AIAssistantProvider::localModel, AIAssistantProvider::olvaneExpert}))
        << "the chosen segment reports again, and its whole rectangle is clickable";
    const auto pressReturn = [](QWidget* segment) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
        QCoreApplication::sendEvent(segment, &key);
    };
    pressReturn(local);
    EXPECT_EQ(chosen.size(), 3u) << "Return chooses like a click";

    selector.setDisabled(true);
    clickAt(expert, QPoint(4, 4));
    pressReturn(expert);
    EXPECT_EQ(chosen.size(), 3u);
    EXPECT_TRUE(local->isSelected()) << "a disabled selector still shows the choice";
}

}  // namespace
}  // namespace korvalen
