#include "Assistant/Views/AssistantBubble.h"
#include "Assistant/Views/AssistantProviderSelector.h"
#include "support/QtTestApp.h"

#include <QLabel>
#include <QMouseEvent>

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
        EXPECT_EQ(bubble.textLabel()->textFormat(), Qt::PlainText);
        EXPECT_EQ(bubble.textLabel()->text().toStdString(), hostile);
        EXPECT_TRUE(bubble.textLabel()->wordWrap());
        EXPECT_TRUE(bubble.textLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);
        EXPECT_EQ(bubble.content()->maximumWidth(), AssistantBubble::maximumContentWidth);
    }

    // A long message wraps inside the width instead of widening the bubble.
    AssistantBubble longBubble({Uuid::random(), AIAssistantRole::assistant, std::string(4000, 'w') + " end", now()});
    longBubble.resize(900, 400);
    longBubble.show();
    QCoreApplication::processEvents();
    EXPECT_LE(longBubble.content()->width(), AssistantBubble::maximumContentWidth);
    EXPECT_LE(longBubble.content()->geometry().right(), 900 - AssistantBubble::oppositeSideGap);
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

    selector.setDisabled(true);
    clickAt(expert, QPoint(4, 4));
    EXPECT_EQ(chosen.size(), 2u);
    EXPECT_TRUE(local->isSelected()) << "a disabled selector still shows the choice";
}

}  // namespace
}  // namespace korvalen
