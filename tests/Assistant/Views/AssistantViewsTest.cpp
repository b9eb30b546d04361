#include "Assistant/Expert/UserPerceivedCharacters.h"
#include "Assistant/Views/AssistantBubble.h"
#include "Assistant/Views/AssistantProviderSelector.h"
#include "support/QtTestApp.h"

#include <QClipboard>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
        // a word wider than the row though shorter than an unbroken run that gets added breaks
        {AIAssistantRole::assistant, "sha256 " + std::string(64, 'f') + " ok", 400, 0,
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
        // Every line of the text lies inside the bubble, none cut at its right edge or bottom, and no
        // blank is added under the last.
        AssistantBubbleText* text = bubble.textView();
        text->document()->setTextWidth(text->viewport()->width());
        EXPECT_LE(text->document()->idealWidth(), text->viewport()->width() + 1);
        EXPECT_EQ(text->height(), int(std::ceil(text->document()->size().height())));
        EXPECT_GE(text->height(), text->document()->firstBlock().layout()->lineCount() *
                                      int(std::floor(text->fontMetrics().lineSpacing())));
        // Inset by the bubble's padding of 10 on either side; the time at the header's far end.
        EXPECT_EQ(text->geometry().left(), 10);
        EXPECT_EQ(text->geometry().right(), content.width() - 11);
        const QLabel* time = bubble.content()->findChild<QLabel*>("AssistantBubbleTime");
        EXPECT_EQ(time->geometry().right(), content.width() - 11);
        EXPECT_EQ(time->width(), time->sizeHint().width());
        // A wheel turn over the text, with Ctrl or not, is left to the conversation around it, which
        // scrolls: the text does not scroll inside the bubble, even squeezed shorter than its lines.
        bubble.resize(c.rowWidth, bubble.height() / 2);
        QCoreApplication::processEvents();
        const QPointF inside(4, 4);
        for (const Qt::KeyboardModifiers modifiers :
             {Qt::KeyboardModifiers(), Qt::KeyboardModifiers(Qt::ControlModifier)}) {
            QWheelEvent wheel(inside, text->viewport()->mapToGlobal(inside), {}, {0, -120}, Qt::NoButton, modifiers,
                              Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(text->viewport(), &wheel);
            EXPECT_FALSE(wheel.isAccepted()) << modifiers;
            EXPECT_EQ(text->verticalScrollBar()->value(), 0);
        }
    }
}

// What a selection of the text view from `start` to `end` puts on the clipboard.
QString copied(AssistantBubbleText* view, int start, int end)
{
    QTextCursor cursor(view->document());
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    view->setTextCursor(cursor);
    view->copy();
    return QGuiApplication::clipboard()->text();
}

int boundaryCount(QTextBoundaryFinder::BoundaryType type, const QString& text)
{
    QTextBoundaryFinder finder(type, text);
    int count = 0;
    while (finder.toNextBoundary() >= 0) ++count;
    return count;
}

// Qt lays out a line without a place to break in more than linear time: a long text is laid out in
// part, and a long unbroken run gets invisible places to break; copying still gives the text itself.
TEST(AssistantBubbleView, ALongTextIsLaidOutInPartAndCopiedWhole)
{
    test::qtApp(true);
    const QChar added(0x200B);
    std::string words;
    while (words.size() < 60 * 1024) words += "The GPU held its throughput, so the run is certified.\n";
    std::string accents = "a";  // 65536 falls inside a two-byte character
    while (accents.size() < 80'000) accents += "é";
    std::string marks = "Antes\r\nx";  // then a run of characters made of two code points each
    for (int i = 0; i < 400; ++i) marks += "e\u0301";
    marks += "\r\nfim " + std::string(600, '#');
    const std::string bangs(8 << 20, '!');
    std::string lines;
    for (int i = 0; i < 3000; ++i) lines += "a\n";
    // Each line end as the document reads it, a tab, and a dash that begins like a line separator.
    std::string ends;
    for (int i = 0; i < 300; ++i) ends += "a\nb\rc\r\nd\te\u2028f\u2029g\uFDD0h\uFDD1—";
    std::string marked = "a";  // one character of 33 code units, just over the longest real one
    for (int i = 0; i < 32; ++i) marked += "\u0301";
    std::string families;  // three emoji in each character
    for (int i = 0; i < 100; ++i) families += "👨‍👩‍👧";
    std::string tagged = "xa";  // one character: a letter under tag characters, two code units each
    for (int i = 0; i < 5000; ++i) tagged += "\U000E0061";
    std::string ideographs;  // Qt measures each again at every layout, and searches every font for it if none has it
    for (int i = 0; i < 5000; ++i) ideographs += "图";
    const bool fontForIdeographs = QFontMetrics(QFont()).inFontUcs4(U'图');
    std::string hangul;  // a costly script, under the byte limit
    for (int i = 0; i < 20'000; ++i) hangul += "한";
    const bool fontForHangul = QFontMetrics(QFont()).inFontUcs4(U'한');
    // Beyond the Basic Multilingual Plane (a Han extension; mathematical letters, which a set-up
    // machine has a font for) and halfwidth and fullwidth forms: costly scripts too.
    std::string extension, mathematical, halfwidth;
    for (int i = 0; i < 5000; ++i) {
        extension += "\U00020000";
        mathematical += "\U0001D5A0";
        halfwidth += "\uFF71";
    }
    const auto fontFor = [](char32_t c) { return QFontMetrics(QFont()).inFontUcs4(c); };
    std::string cyrillic;  // an alphabet laid out at its size
    while (cyrillic.size() < 60'000) cyrillic += "Производительность графического процессора стабильна. ";
    std::string mongolian;
    for (int i = 0; i < 1000; ++i) mongolian += "\u182E";
    const bool fontForMongolian = QFontMetrics(QFont()).inFontUcs4(0x182E);
    std::string selected;  // letters each under a variation selector that no font has
    for (int i = 0; i < 1000; ++i) selected += "a\U000E0100";
    // The byte limit falls inside a character: after a letter, before its accent or point; between
    // the two halves of a flag; between CR and LF at the line limit.
    const std::string accented = std::string(65'535, 'x') + "e\u0301 fim";
    const std::string flagged = std::string(65'532, 'x') + "🇧🇷 fim";
    const std::string hebrew = std::string(65'534, 'x') + "שׁ";                  // shin, then its dot
    const std::string vietnamese = std::string(65'533, 'x') + "e\u0302\u0301";  // ế, marks apart
    const std::string crlf = lines.substr(0, 4000) + "b\r\nc";
    std::string overlong = std::string(65'000, 'x') + "a";  // still cut after 32 code units
    for (int i = 0; i < 1000; ++i) overlong += "\u0301";
    // The set-up installs a font for each of these: their prose is shown whole, with real glyphs.
    std::string korean, chinese, japanese;
    while (korean.size() < 4096) korean += "벤치마크 결과는 프로세서와 그래픽 장치의 성능을 비교합니다. ";
    while (chinese.size() < 4096) chinese += "此基准测试结果比较处理器和图形设备的性能。";
    while (japanese.size() < 4096) japanese += "このベンチマーク結果はプロセッサの性能を比較します。";
    const std::string lastEmoji = std::string(65'532, 'x') + "😀";  // the byte limit exactly
    std::string crlfLines, crLines;                                // each counts once
    for (int i = 0; i < 1500; ++i) crlfLines += "a\r\n";
    for (int i = 0; i < 2001; ++i) crLines += "a\r";
    std::string emoji;  // within their own limit, each costs its bytes
    for (int i = 0; i < 200; ++i) emoji += "😀";
    while (emoji.size() < 65'500) emoji += " word";
    struct Case {
        const char* what;
        const std::string& text;
        AIAssistantLanguage language;
        QString notice;          // empty: shown whole, no notice
        std::size_t shownBytes;  // of a text shown in part
    };
    const Case cases[] = {
        {"ordinary words", words, AIAssistantLanguage::english, "", 0},
        {"unbroken runs between line ends", marks, AIAssistantLanguage::english, "", 0},
        {"a model stuck on one character up to the client's cap", bangs, AIAssistantLanguage::english,
         "Showing the first 64 KiB of 8192 KiB. Select all and copy, or use Export…, to get the whole text.",
         AssistantBubbleText::shownLimitBytes},
        {"the same in Portuguese", bangs, AIAssistantLanguage::portuguese,
         "Mostrando os primeiros 64 KiB de 8192 KiB. Selecione tudo e copie, ou use Export…, para obter o texto "
         "inteiro.",
         AssistantBubbleText::shownLimitBytes},
        {"cut inside a character", accents, AIAssistantLanguage::english,
         "Showing the first 64 KiB of 79 KiB. Select all and copy, or use Export…, to get the whole text.",
         AssistantBubbleText::shownLimitBytes - 1},
        {"many short lines: the first 2000", lines, AIAssistantLanguage::english,
         "Showing the first 4 KiB of 6 KiB. Select all and copy, or use Export…, to get the whole text.", 4001},
        {"line ends and tabs of every kind: the first 2000", ends, AIAssistantLanguage::english,
         "Showing the first 7 KiB of 9 KiB. Select all and copy, or use Export…, to get the whole text.", 7001},
        {"emoji: 256 at most, in whole characters", families, AIAssistantLanguage::english,
         "Showing the first 1 KiB of 2 KiB. Select all and copy, or use Export…, to get the whole text.", 85 * 18},
        {"a character just longer than any real one", marked, AIAssistantLanguage::english,
         "Showing the first 63 bytes of 1 KiB. Select all and copy, or use Export…, to get the whole text.", 63},
        {"a character longer than any real one, cut after 32 code units and never inside a pair", tagged,
         AIAssistantLanguage::english,
         "Showing the first 66 bytes of 20 KiB. Select all and copy, or use Export…, to get the whole text.", 66},
        {"ideographs: 4096 at most, 256 where no font has them", ideographs, AIAssistantLanguage::english,
         fontForIdeographs
             ? "Showing the first 12 KiB of 15 KiB. Select all and copy, or use Export…, to get the whole text."
             : "Showing the first 768 bytes of 15 KiB. Select all and copy, or use Export…, to get the whole text.",
         fontForIdeographs ? std::size_t{4096 * 3} : std::size_t{256 * 3}},
        {"60 KB of Hangul: 4096 syllables at most, 256 where no font has them", hangul, AIAssistantLanguage::english,
         fontForHangul
             ? "Showing the first 12 KiB of 59 KiB. Select all and copy, or use Export…, to get the whole text."
             : "Showing the first 768 bytes of 59 KiB. Select all and copy, or use Export…, to get the whole text.",
         fontForHangul ? std::size_t{4096 * 3} : std::size_t{256 * 3}},
        {"beyond the Basic Multilingual Plane: 4096 at most, 256 where no font has them", extension,
         AIAssistantLanguage::english,
         fontFor(0x20000)
             ? "Showing the first 16 KiB of 20 KiB. Select all and copy, or use Export…, to get the whole text."
             : "Showing the first 1 KiB of 20 KiB. Select all and copy, or use Export…, to get the whole text.",
         fontFor(0x20000) ? std::size_t{4096 * 4} : std::size_t{256 * 4}},
        {"mathematical letters: 4096 at most, 256 where no font has them", mathematical, AIAssistantLanguage::english,
         fontFor(0x1D5A0)
             ? "Showing the first 16 KiB of 20 KiB. Select all and copy, or use Export…, to get the whole text."
             : "Showing the first 1 KiB of 20 KiB. Select all and copy, or use Export…, to get the whole text.",
         fontFor(0x1D5A0) ? std::size_t{4096 * 4} : std::size_t{256 * 4}},
        {"halfwidth forms: 4096 at most, 256 where no font has them", halfwidth, AIAssistantLanguage::english,
         fontFor(0xFF71)
             ? "Showing the first 12 KiB of 15 KiB. Select all and copy, or use Export…, to get the whole text."
             : "Showing the first 768 bytes of 15 KiB. Select all and copy, or use Export…, to get the whole text.",
         fontFor(0xFF71) ? std::size_t{4096 * 3} : std::size_t{256 * 3}},
        {"a long answer in another alphabet", cyrillic, AIAssistantLanguage::english, "", 0},
        {"Mongolian letters: 512 at most, 256 where no font has them", mongolian, AIAssistantLanguage::english,
         fontForMongolian
             ? "Showing the first 2 KiB of 3 KiB. Select all and copy, or use Export…, to get the whole text."
             : "Showing the first 768 bytes of 3 KiB. Select all and copy, or use Export…, to get the whole text.",
         fontForMongolian ? std::size_t{512 * 3} : std::size_t{256 * 3}},
        {"characters no font has: 256 at most, in whole characters", selected, AIAssistantLanguage::portuguese,
         "Mostrando os primeiros 1 KiB de 5 KiB. Selecione tudo e copie, ou use Export…, para obter o texto inteiro.",
         255 * 5},
        {"the byte limit after a letter, before its accent", accented, AIAssistantLanguage::english,
         "Showing the first 64 KiB of 65 KiB. Select all and copy, or use Export…, to get the whole text.", 65'535},
        {"the byte limit inside a flag", flagged, AIAssistantLanguage::english,
         "Showing the first 64 KiB of 65 KiB. Select all and copy, or use Export…, to get the whole text.", 65'532},
        {"the byte limit before a Hebrew point", hebrew, AIAssistantLanguage::english,
         "Showing the first 64 KiB of 65 KiB. Select all and copy, or use Export…, to get the whole text.", 65'534},
        {"the byte limit before a second combining accent", vietnamese, AIAssistantLanguage::english,
         "Showing the first 64 KiB of 65 KiB. Select all and copy, or use Export…, to get the whole text.", 65'533},
        {"the line limit between CR and LF", crlf, AIAssistantLanguage::english,
         "Showing the first 3 KiB of 4 KiB. Select all and copy, or use Export…, to get the whole text.", 4001},
        {"the byte limit inside a character longer than any real one", overlong, AIAssistantLanguage::english,
         "Showing the first 64 KiB of 66 KiB. Select all and copy, or use Export…, to get the whole text.",
         65'001 + 31 * 2},
        {"emoji and letters up to the byte limit", emoji, AIAssistantLanguage::english, "", 0},
        {"an emoji ending the text at the byte limit", lastEmoji, AIAssistantLanguage::english, "", 0},
        {"1500 CR LF", crlfLines, AIAssistantLanguage::english, "", 0},
        {"2001 lone CR: the first 2000", crLines, AIAssistantLanguage::english,
         "Showing the first 3 KiB of 4 KiB. Select all and copy, or use Export…, to get the whole text.", 4001},
        {"4 KB of Korean prose", korean, AIAssistantLanguage::english, "", 0},
        {"4 KB of Chinese prose", chinese, AIAssistantLanguage::english, "", 0},
        {"4 KB of Japanese prose", japanese, AIAssistantLanguage::english, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AssistantBubble bubble({Uuid::random(), AIAssistantRole::assistant, "", now()});
        bubble.setText(c.text, c.language);
        AssistantBubbleText* view = bubble.textView();
        EXPECT_EQ(bubble.cutNotice()->isVisibleTo(&bubble), !c.notice.isEmpty());
        if (!c.notice.isEmpty()) {
            // Under the text, whole, inside the bubble however narrow.
            EXPECT_EQ(bubble.cutNotice()->text(), c.notice);
            bubble.resize(400, bubble.heightForWidth(400));
            bubble.show();
            QCoreApplication::processEvents();
            const QRect notice = bubble.cutNotice()->geometry();
            EXPECT_GE(notice.top(), bubble.textView()->geometry().bottom());
            EXPECT_LE(bubble.content()->width(), 400 - AssistantBubble::oppositeSideGap);
            EXPECT_LE(notice.right(), bubble.content()->width() - 10);
            EXPECT_GE(notice.height(), bubble.cutNotice()->heightForWidth(notice.width()));
        }

        // What is laid out is the text's beginning, whole characters of it, up to the limit.
        const QString shown = view->toPlainText();
        QString unbroken = shown;
        unbroken.remove(added);
        // As the document reads them, every line end is a line feed.
        const auto asRead = [](QString read) {
            read.replace("\r\n", "\n");
            for (const char16_t end : {u'\r', u'\u2028', u'\u2029', u'\uFDD0', u'\uFDD1'})
                read.replace(QChar(end), '\n');
            return read;
        };
        if (c.notice.isEmpty()) {
            EXPECT_EQ(unbroken, asRead(QString::fromStdString(c.text)));
        } else {
            EXPECT_EQ(view->shownBytes(), c.shownBytes);
            EXPECT_EQ(asRead(QString::fromStdString(c.text.substr(0, c.shownBytes))), unbroken);
        }
        // No run without a place to break is longer than the limit, and no added break splits a character.
        QTextBoundaryFinder lines(QTextBoundaryFinder::Line, shown);
        int longest = 0;
        for (int previous = 0, next = 0; (next = lines.toNextBoundary()) >= 0; previous = next)
            longest = std::max(longest, next - previous);
        EXPECT_LE(longest, AssistantBubbleText::unbrokenRunLimit);
        EXPECT_EQ(boundaryCount(QTextBoundaryFinder::Grapheme, shown),
                  boundaryCount(QTextBoundaryFinder::Grapheme, unbroken) + shown.count(added));

        // All that is shown copies as the whole text; a part copies as shown (in the message's own line
        // ends), without the added breaks.
        const int end = view->document()->characterCount() - 1;
        EXPECT_EQ(copied(view, 0, end).toStdString(), c.text);
        for (const QKeySequence::StandardKey key : {QKeySequence::SelectAll, QKeySequence::Copy}) {
            const QKeyCombination combination = QKeySequence(key)[0];
            QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
            QCoreApplication::sendEvent(view, &press);
        }
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), c.text) << "select all and copy by keyboard";
        // A part copies in whole characters: each end goes back to the start of the one it falls in.
        QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, shown);
        const auto characterStart = [&](int position) {
            characters.setPosition(position);
            return characters.isAtBoundary() ? position : static_cast<int>(characters.toPreviousBoundary());
        };
        const auto shownPart = [&](int from, int to) {
            QString part = shown.mid(characterStart(from), characterStart(to) - characterStart(from));
            return part.remove(added);
        };
        EXPECT_EQ(asRead(copied(view, 3, end - 3)), shownPart(3, end - 3));
        if (c.notice.isEmpty()) continue;
        EXPECT_EQ(asRead(copied(view, 0, end - 1)), shownPart(0, end - 1))
            << "all but the last character is not the whole text";
    }
}

// A copy gives the message's own characters, whatever the document makes of them: it reads no-break
// spaces and line ends its own way, holds a CR LF as one line end, and holds the added spaces.
TEST(AssistantBubbleView, ACopyGivesTheMessagesOwnCharacters)
{
    test::qtApp(true);
    const std::string served = "Prix\u00a0: 12\u00a0€\r\nline\u2028sep\u2029para\rend";
    const std::string run = "x\r\n" + std::string(600, 'a') + "\r\nend";
    const std::string cut = "\u00a0" + std::string(70'000, 'x');
    const struct {
        const char* what;
        std::string text;
        int start, beforeEnd;  // the selection, in document positions
        std::string copied;
    } cases[] = {
        {"all of a short text", served, 0, 0, served},
        {"no-break spaces and a CR LF", served, 4, 15, "\u00a0: 12\u00a0€\r\nli"},
        {"line and paragraph separators and a lone CR", served, 12, 1, "line\u2028sep\u2029para\ren"},
        {"a CR LF on either side of a run with added spaces", run, 1, 1, "\r\n" + std::string(600, 'a') + "\r\nen"},
        {"part of a text shown in part", cut, 0, 1, "\u00a0" + std::string(65'533, 'x')},
        // A lone CR before a CR LF is a line end of its own.
        {"the last two characters after a lone CR and a CR LF", "ab\r\r\ncd", 4, 0, "cd"},
        {"from the second character to the end, over lone CRs", "one\r\r\ntwo\r\r\nthree and more", 1, 0,
         "ne\r\r\ntwo\r\r\nthree and more"},
        {"LF then CR", "x\n\ry", 1, 0, "\n\ry"},
        {"every line end in turn", "\r\r\n\r\n\n\r", 1, 0, "\r\n\r\n\n\r"},
        {"separators among CRs", "a\u2028\r\r\n\u2029\rb", 2, 1, "\r\r\n\u2029\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AssistantBubble bubble({Uuid::random(), AIAssistantRole::assistant, c.text, now()});
        AssistantBubbleText* view = bubble.textView();
        const int end = view->document()->characterCount() - 1 - c.beforeEnd;
        const std::string got = copied(view, c.start, end).toStdString();
        EXPECT_TRUE(got == c.copied) << got.substr(0, 80);
    }

    // One line on screen per line end, however they mix.
    const std::string mixed = "a\r\r\nb\n\rc\r\n\r\nd\u2028e\u2029\rf\r";
    {
        AssistantBubble bubble({Uuid::random(), AIAssistantRole::assistant, mixed, now()});
        QTextDocument* document = bubble.textView()->document();
        document->setTextWidth(10'000);
        int lines = 0;
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
            lines += block.layout()->lineCount();
        EXPECT_EQ(lines, 11);
    }
    // Copies of adjoining parts add up to the copy of both, the copy of the whole is the text, and
    // every copy holds whole characters, also where the cursor stops inside one: between an emoji's
    // halves or before its skin tone in a line of an Indic script, inside a family.
    for (const std::string& text :
         {mixed, std::string("नमस्ते 👍 ok"), std::string("सब 👍🏽 ठीक 👨‍👩‍👧 है"),
          std::string("สวัสดี 🇧🇷 👍🏽")}) {
        SCOPED_TRACE(text);
        AssistantBubble bubble({Uuid::random(), AIAssistantRole::assistant, text, now()});
        AssistantBubbleText* view = bubble.textView();
        const QString whole = QString::fromStdString(text);
        UserPerceivedCharacters characters(whole);
        const auto expectWholeCharacters = [&](const QString& beginning) {
            EXPECT_TRUE(whole.startsWith(beginning) && characters.isBoundary(beginning.size())) << beginning.size();
        };
        // Shift+Right from the start, one step at a time, copied after each.
        for (const QKeyCombination key : {Qt::ControlModifier | Qt::Key_Home, Qt::ShiftModifier | Qt::Key_Right}) {
            QKeyEvent press(QEvent::KeyPress, key.key(), key.keyboardModifiers());
            QCoreApplication::sendEvent(view, &press);
        }
        QString copy;
        for (int step = 0; step < whole.size() && copy != whole; ++step) {
            QGuiApplication::clipboard()->clear();
            QKeyEvent copyKey(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
            QCoreApplication::sendEvent(view, &copyKey);
            copy = QGuiApplication::clipboard()->text();
            expectWholeCharacters(copy);
            QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::ShiftModifier);
            QCoreApplication::sendEvent(view, &right);
        }
        EXPECT_EQ(copy, whole) << "Shift+Right selects up to the end";

        const int end = view->document()->characterCount() - 1;
        std::vector<std::vector<QString>> copies(end + 1, std::vector<QString>(end + 1));
        for (int a = 0; a <= end; ++a)
            for (int b = a + 1; b <= end; ++b) copies[a][b] = copied(view, a, b);
        EXPECT_EQ(copies[0][end], whole);
        for (int b = 0; b <= end; ++b) expectWholeCharacters(copies[0][b]);
        for (int a = 0; a <= end; ++a)
            for (int b = a; b <= end; ++b)
                for (int c = b; c <= end; ++c)
                    ASSERT_EQ(copies[a][b] + copies[b][c], copies[a][c]) << a << " " << b << " " << c;
    }
}

// The line under a text shown in part never says that none of it is shown, nor gives the part the
// whole's figure.
// A local model's answers often hold emoji, and the set-up installs a font with them: each is drawn
// as one glyph, never as a box, nor as a skin tone, a flag's letters or a family's members apart.
TEST(AssistantBubbleView, EmojiAreDrawnAsOneGlyphEach)
{
    test::qtApp(true);
    for (const char* emoji : {"👍🏽", "😀", "🚀", "✅", "🇧🇷", "👨‍👩‍👧"}) {
        SCOPED_TRACE(emoji);
        AssistantBubble bubble({Uuid::random(), AIAssistantRole::assistant, emoji, now()});
        QTextLayout layout(QString::fromUtf8(emoji), bubble.textView()->font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        std::vector<quint32> glyphs;
        for (const QGlyphRun& run : layout.glyphRuns())
            for (const quint32 glyph : run.glyphIndexes()) glyphs.push_back(glyph);
        EXPECT_EQ(glyphs.size(), 1u);
        EXPECT_EQ(std::count(glyphs.begin(), glyphs.end(), 0u), 0) << "the missing glyph's box";
    }
}

TEST(AssistantBubbleView, TheCutNoticeTellsHowMuchIsShown)
{
    const auto en = [](const char* part) {
        return QString("Showing the first ") + part + ". Select all and copy, or use Export…, to get the whole text.";
    };
    const auto pt = [](const char* part) {
        return QString("Mostrando os primeiros ") + part +
               ". Selecione tudo e copie, ou use Export…, para obter o texto inteiro.";
    };
    const struct {
        std::size_t shown, whole;
        AIAssistantLanguage language;
        QString notice;
    } cases[] = {
        {64 * 1024, 8 << 20, AIAssistantLanguage::english, en("64 KiB of 8192 KiB")},
        {65535, 80'000, AIAssistantLanguage::english, en("64 KiB of 79 KiB")},
        {1, 5000, AIAssistantLanguage::english, en("1 byte of 5 KiB")},
        {63, 8184 * 1024, AIAssistantLanguage::english, en("63 bytes of 8184 KiB")},
        {512, 4096, AIAssistantLanguage::english, en("512 bytes of 4 KiB")},
        {1023, 1024, AIAssistantLanguage::portuguese, pt("1023 bytes de 1 KiB")},
        {1024, 1025, AIAssistantLanguage::english, en("1 KiB of 2 KiB")},
        {1624, 1628, AIAssistantLanguage::english, en("1 KiB of 2 KiB")},  // 600 letters, 256 of 257 emoji
        {1535, 4096, AIAssistantLanguage::english, en("1 KiB of 4 KiB")},
        {1536, 2048, AIAssistantLanguage::portuguese, pt("1 KiB de 2 KiB")},
        {1536, 2049, AIAssistantLanguage::english, en("2 KiB of 3 KiB")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AssistantBubble::cutNoticeText(c.shown, c.whole, c.language), c.notice)
            << c.shown << " of " << c.whole;
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
