#pragma once

#include "Assistant/Expert/AIAssistantTypes.h"

#include <QColor>
#include <QFrame>
#include <QTextDocument>
#include <QTextEdit>
#include <QWidget>

class QLabel;

namespace korvalen {

// A message's text: plain text only, selectable and copyable, wrapping at word boundaries and inside
// a word too long for the line, as tall as its text at the width it is given.
class AssistantBubbleText : public QTextEdit {
    Q_OBJECT

public:
    explicit AssistantBubbleText(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return toPlainText(); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent* event) override;
    // The conversation scrolls, not the bubble.
    void wheelEvent(QWheelEvent* event) override;

private:
    // A copy of the text laid out at any asked width, so that a height can be given without
    // disturbing what is shown.
    mutable QTextDocument measure_;
};

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
// short, can be selected and copied. The bubble takes the row's width up to 620 pixels, kept
// 60 pixels away from the opposite side.
class AssistantBubble : public QWidget {
    Q_OBJECT

public:
    static constexpr int maximumContentWidth = 620;
    static constexpr int oppositeSideGap = 60;
    // Caption 2 for the header, caption for the message.
    static constexpr int headerPixels = 10;
    static constexpr int textPixels = 12;

    explicit AssistantBubble(const AIAssistantMessage& message, QWidget* parent = nullptr);

    static AssistantBubbleAppearance appearance(AIAssistantRole role);
    static QColor fillColor(AssistantBubbleAppearance appearance);
    static QColor outlineColor(AssistantBubbleAppearance appearance);

    const Uuid& messageID() const { return id_; }
    AssistantBubbleAppearance appearance() const { return appearance_; }
    void setText(const std::string& text);
    AssistantBubbleText* textView() const { return text_; }
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
    AssistantBubbleText* text_;
};

}  // namespace korvalen
