#pragma once

#include "Assistant/Expert/AIAssistantTypes.h"
#include "Assistant/Views/InputMethodWhenEditable.h"

#include <QColor>
#include <QFrame>
#include <QTextDocument>
#include <QTextEdit>
#include <QWidget>

#include <cstddef>
#include <string>
#include <vector>

class QLabel;
class QMimeData;

namespace korvalen {

// A message's text: plain text only, selectable and copyable, wrapping at word boundaries and inside
// a word too long for the line, as tall as its text at the width it is given.
//
// Qt's layout of a line that gives it no place to break costs more than linear time, and a local
// model can send megabytes of one character, of short lines, of emoji or of one user-perceived
// character, and text of thousands of different ideographs or of characters no font has costs Qt
// many times more per character. So only the first `shownLimitBytes` of a text, with no more than
// `shownLineLimit` line ends and tabs, `shownPictographLimit` emoji, and a share of the limit for
// each character of a costly script or that no font has, are laid out; a run longer than
// `unbrokenRunLimit` characters without a break opportunity gets a zero-width space every
// `breakInterval` characters, so that it fills its lines as before; and the display ends inside a
// character longer than `longestCharacter` code units. All of it touches the display only: `text()`
// and a copy of the whole selection give the message's text unchanged, and a copy of part of it gives
// the message's characters it covers, without the added spaces. Nothing typed, through an input
// method either, changes what it shows.
class AssistantBubbleText : public InputMethodWhenEditable<QTextEdit> {
    Q_OBJECT

public:
    static constexpr std::size_t shownLimitBytes = 64 * 1024;
    // Line ends and tabs laid out at most: each costs Qt about as much as a short line.
    static constexpr int shownLineLimit = 2000;
    // Emoji code points laid out at most: Qt decodes a colour emoji's bitmap at every layout.
    static constexpr int shownPictographLimit = 256;
    // Characters of scripts that cost more to lay out (Han, kana, Hangul, variation selectors,
    // beyond the Basic Multilingual Plane) laid out at most; Mongolian letters, which cost several
    // times more; and characters that no installed font has, which Qt looks for in every font at
    // each layout. Each takes its share of `shownLimitBytes`, every other character its size.
    static constexpr std::size_t shownCostlyLimit = 4096;
    static constexpr std::size_t shownMongolianLimit = 512;
    static constexpr std::size_t shownUnrenderableLimit = 256;
    // Code units of the longest real user-perceived character, with room to spare (the longest
    // emoji sequences take 19): the display ends inside a longer one.
    static constexpr qsizetype longestCharacter = 32;
    static constexpr int unbrokenRunLimit = 256;
    static constexpr int breakInterval = 4;

    explicit AssistantBubbleText(QWidget* parent = nullptr);

    // The text as UTF-8.
    void setText(const std::string& text);
    QString text() const { return QString::fromStdString(text_); }
    // Whether only the first part of the text is shown, and its size in bytes.
    bool isCut() const { return shownBytes_ < text_.size(); }
    std::size_t shownBytes() const { return shownBytes_; }
    std::size_t textBytes() const { return text_.size(); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent* event) override;
    // The conversation scrolls, not the bubble.
    void wheelEvent(QWheelEvent* event) override;
    QMimeData* createMimeDataFromSelection() const override;

private:
    // Where the character at a document position is in `shownSource_`; the next one's place for an
    // added space.
    qsizetype sourceIndex(int position) const;

    // A copy of the text laid out at any asked width, so that a height can be given without
    // disturbing what is shown.
    mutable QTextDocument measure_;
    std::string text_;
    std::size_t shownBytes_ = 0;
    // The characters of the text that are shown, as the message holds them.
    QString shownSource_;
    // Where the shown text holds an added zero-width space, in document positions, ascending.
    std::vector<int> addedBreaks_;
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
// text, never as rich text: a local model's answer is untrusted input. It wraps, can be selected and
// copied; a text too long to lay out is shown in part, with a line under it that says so and how to
// get the rest, in the language given. The bubble takes the row's width up to 620 pixels, kept
// 60 pixels away from the opposite side.
class AssistantBubble : public QWidget {
    Q_OBJECT

public:
    static constexpr int maximumContentWidth = 620;
    static constexpr int oppositeSideGap = 60;
    // Caption 2 for the header, caption for the message.
    static constexpr int headerPixels = 10;
    static constexpr int textPixels = 12;

    explicit AssistantBubble(const AIAssistantMessage& message, QWidget* parent = nullptr,
                             AIAssistantLanguage language = AIAssistantLanguage::english);

    static AssistantBubbleAppearance appearance(AIAssistantRole role);
    static QColor fillColor(AssistantBubbleAppearance appearance);
    static QColor outlineColor(AssistantBubbleAppearance appearance);
    // The line under a text shown in part.
    static QString cutNoticeText(std::size_t shownBytes, std::size_t textBytes, AIAssistantLanguage language);

    const Uuid& messageID() const { return id_; }
    AssistantBubbleAppearance appearance() const { return appearance_; }
    void setText(const std::string& text, AIAssistantLanguage language = AIAssistantLanguage::english);
    AssistantBubbleText* textView() const { return text_; }
    QLabel* cutNotice() const { return notice_; }
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
    QLabel* notice_;
};

}  // namespace korvalen
