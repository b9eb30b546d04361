#pragma once

#include "Assistant/Expert/AIAssistantTypes.h"

#include <QColor>
#include <QFrame>
#include <QWidget>

class QLabel;

namespace korvalen {

enum class AssistantBubbleAppearance { user, assistant };

// A rounded rectangle of radius 12, filled (background) or stroked 1 pixel wide (border).
class AssistantBubbleFrame : public QFrame {
public:
    AssistantBubbleFrame(QColor fill, QColor outline, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
    QColor outline_;
};

// One chat message: a header (who wrote it, when) over its text. The text is always shown as plain
// text, never as rich text: a local model's answer is untrusted input. It wraps, is never cut
// short, can be selected and copied, and the bubble is at most 620 pixels wide, kept 60 pixels
// away from the opposite side.
class AssistantBubble : public QWidget {
    Q_OBJECT

public:
    static constexpr int maximumContentWidth = 620;
    static constexpr int oppositeSideGap = 60;

    explicit AssistantBubble(const AIAssistantMessage& message, QWidget* parent = nullptr);

    static AssistantBubbleAppearance appearance(AIAssistantRole role);
    static QColor fillColor(AssistantBubbleAppearance appearance);
    static QColor outlineColor(AssistantBubbleAppearance appearance);

    const Uuid& messageID() const { return id_; }
    AssistantBubbleAppearance appearance() const { return appearance_; }
    void setText(const std::string& text);
    QLabel* textLabel() const { return text_; }
    QLabel* speakerLabel() const { return speaker_; }
    QLabel* symbolLabel() const { return symbol_; }
    QString symbolName() const;
    QWidget* content() const { return content_; }

private:
    Uuid id_;
    AssistantBubbleAppearance appearance_;
    AssistantBubbleFrame* content_;
    QLabel* symbol_;
    QLabel* speaker_;
    QLabel* text_;
};

}  // namespace korvalen
