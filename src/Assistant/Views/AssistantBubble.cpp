#include "Assistant/Views/AssistantBubble.h"

#include "Assistant/Expert/UserPerceivedCharacters.h"
#include "Assistant/Views/AssistantSymbols.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <unicode/uchar.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <unordered_map>

namespace korvalen {

namespace {

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

QColor primary()
{
    return QColor(0xe6, 0xea, 0xf2);
}
QColor cyan()
{
    return QColor(0x32, 0xd4, 0xf0);
}

QFont captionFont(int pixels, bool semibold)
{
    QFont font;
    font.setPixelSize(pixels);
    if (semibold) font.setWeight(QFont::DemiBold);
    return font;
}

void setTextColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QTextOption wrapping()
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

constexpr QChar zeroWidthSpace(0x200B);

// The longest prefix of at most `limit` bytes that ends between two UTF-8 sequences.
std::size_t prefixBytes(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit) return text.size();
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return end;
}

// Whether the UTF-8 sequence at `at` is the three bytes `a b c`.
bool sequenceAt(const std::string& text, std::size_t at, unsigned char a, unsigned char b, unsigned char c)
{
    return at + 2 < text.size() && static_cast<unsigned char>(text[at]) == a &&
           static_cast<unsigned char>(text[at + 1]) == b && static_cast<unsigned char>(text[at + 2]) == c;
}

// How much of a text is laid out: at most the byte limit, and at most the line limit of line ends
// and tabs, which each lay out like a short line (a document's block or line ends: LF, a CR alone,
// U+2028, U+2029, and U+FDD0 and U+FDD1, which it reads as frame ends).
std::size_t shownPrefixBytes(const std::string& text)
{
    const std::size_t end = prefixBytes(text, AssistantBubbleText::shownLimitBytes);
    int lines = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const char c = text[i];
        const bool line = c == '\n' || c == '\t' || (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) ||
                          sequenceAt(text, i, 0xE2, 0x80, 0xA8) || sequenceAt(text, i, 0xE2, 0x80, 0xA9) ||
                          sequenceAt(text, i, 0xEF, 0xB7, 0x90) || sequenceAt(text, i, 0xEF, 0xB7, 0x91);
        if (line && ++lines > AssistantBubbleText::shownLineLimit) return i;
    }
    return end;
}

// Whether some character of `text` may be longer than the longest real one: only a stretch with
// no two ASCII characters side by side (always two characters, but for CR LF) can hold one.
bool mayHoldOverlongCharacter(const QString& text)
{
    qsizetype stretch = 0;
    for (qsizetype i = 1; i < text.size(); ++i) {
        const bool apart = UserPerceivedCharacters::alwaysApart(text[i - 1].unicode(), text[i].unicode());
        stretch = apart ? 0 : stretch + 1;
        if (stretch >= AssistantBubbleText::longestCharacter) return true;
    }
    return false;
}

// Where the first character longer than the longest real one has had `longestCharacter` code units
// (never between the halves of a surrogate pair), or -1. Qt shapes such a character's parts each
// against all the others before it: the display ends there.
qsizetype overlongCharacterCut(const QString& text)
{
    UserPerceivedCharacters characters(text);
    for (qsizetype start = 0, end = 0; start < text.size(); start = end) {
        end = characters.following(start);
        if (end < 0) end = text.size();
        if (end - start > AssistantBubbleText::longestCharacter) {
            const qsizetype cut = start + AssistantBubbleText::longestCharacter;
            return text[cut].isLowSurrogate() ? cut + 1 : cut;
        }
    }
    return -1;
}

bool isPictograph(char32_t c)
{
    return u_hasBinaryProperty(c, UCHAR_EXTENDED_PICTOGRAPHIC) || u_hasBinaryProperty(c, UCHAR_REGIONAL_INDICATOR);
}

// Where the text has had `shownPictographLimit` emoji code points, at the start of the character
// that holds the next one, or -1. Qt decodes a colour emoji's bitmap each time it lays one out.
qsizetype pictographCut(const QString& text)
{
    int pictographs = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() < 0x2000) continue;
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(text[i], text[i + 1]) : text[i].unicode();
        if (isPictograph(c) && ++pictographs > AssistantBubbleText::shownPictographLimit)
            return UserPerceivedCharacters::boundaryAtOrBefore(text, i);
        if (pair) ++i;
    }
    return -1;
}

// Whether some installed font has a glyph for `c`, found as the layout finds it. Qt looks through
// every fallback font for a character that none has, at each layout of each occurrence; the answer
// is kept for the process's life (a font installed meanwhile is seen after a restart).
bool someFontHas(const QFontMetrics& metrics, char32_t c)
{
    static std::unordered_map<char32_t, bool> known;
    if (const auto found = known.find(c); found != known.end()) return found->second;
    return known[c] = metrics.inFontUcs4(c);
}

// Scripts of thousands of different characters (Han, kana, Hangul, Yi, and everything beyond the
// Basic Multilingual Plane) and variation selectors: each costs more to lay out than a letter of an
// alphabet, even with a font that has it.
bool costlyToLayOut(char32_t c)
{
    return (c >= 0x1100 && c <= 0x11FF) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xA960 && c <= 0xA97F) ||
           (c >= 0xAC00 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFFEF) || c >= 0x10000;
}

bool isMongolian(char32_t c)
{
    return (c >= 0x1800 && c <= 0x18AF) || (c >= 0x11660 && c <= 0x1167F);
}

// What laying out `c` costs, in bytes of ordinary words: its own size for most characters (emoji
// have their own limit, line ends are not drawn), a share of the shown limit for a character of a
// costly script, a larger one for a Mongolian letter and the largest for a character that no
// installed font has.
std::size_t layoutCost(char32_t c, const QFontMetrics& metrics)
{
    const std::size_t bytes = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (c < 0x300 || c == 0x2028 || c == 0x2029 || c == 0xFDD0 || c == 0xFDD1 || isPictograph(c)) return bytes;
    std::size_t limit = 0;
    if (!someFontHas(metrics, c))
        limit = AssistantBubbleText::shownUnrenderableLimit;
    else if (isMongolian(c))
        limit = AssistantBubbleText::shownMongolianLimit;
    else if (costlyToLayOut(c))
        limit = AssistantBubbleText::shownCostlyLimit;
    return limit > 0 ? AssistantBubbleText::shownLimitBytes / limit : bytes;
}

// Where the text's layout cost passes the shown limit, at the start of the character that holds
// the character passing it, or -1.
qsizetype costCut(const QString& text, const QFontMetrics& metrics)
{
    std::size_t cost = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(text[i], text[i + 1]) : text[i].unicode();
        cost += layoutCost(c, metrics);
        if (cost > AssistantBubbleText::shownLimitBytes) return UserPerceivedCharacters::boundaryAtOrBefore(text, i);
        if (pair) ++i;
    }
    return -1;
}

// `text` with each CR LF and each lone CR as one line feed, in one pass: the document reads a CR LF
// as one line end, so replacing CR LF alone would make a CR before a CR LF part of a new one.
QString oneCharacterPerLineEnd(const QString& text)
{
    if (!text.contains(u'\r')) return text;
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r') {
            out += text[i];
            continue;
        }
        out += u'\n';
        if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    }
    return out;
}

struct ShownText {
    QString source;  // the message's characters that are shown
    QString text;    // the same as the document holds them
    std::vector<int> addedBreaks;
    std::size_t bytes = 0;
};

// The first `bytes` of a text as laid out, ended between two characters or inside a character longer
// than any real one: line ends as the document keeps them (one position per character or CR LF, so
// that added breaks can be found again), and a zero-width space, which lets a line break after it, every few
// characters of a run too long to lay out without one.
ShownText shownText(const std::string& utf8, std::size_t bytes, const QFontMetrics& metrics)
{
    ShownText shown;
    shown.bytes = bytes;
    QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(bytes));
    const qsizetype decoded = text.size();
    if (bytes < utf8.size()) {
        // Whether the cut falls between two characters depends on the code point after it.
        std::size_t next = bytes + 1;
        while (next < utf8.size() && (static_cast<unsigned char>(utf8[next]) & 0xC0) == 0x80) ++next;
        const QString more = text + QString::fromUtf8(utf8.data() + bytes, static_cast<qsizetype>(next - bytes));
        const qsizetype boundary = UserPerceivedCharacters::boundaryAtOrBefore(more, decoded);
        // A character longer than any real one is cut inside, below.
        if (decoded - boundary <= AssistantBubbleText::longestCharacter) text.truncate(boundary);
    }
    // An overlong character is cut first: the emoji it holds are not characters of their own.
    if (const qsizetype cut = mayHoldOverlongCharacter(text) ? overlongCharacterCut(text) : -1; cut >= 0)
        text.truncate(cut);
    if (const qsizetype cut = pictographCut(text); cut >= 0) text.truncate(cut);
    if (const qsizetype cut = costCut(text, metrics); cut >= 0) text.truncate(cut);
    if (text.size() < decoded)
        shown.bytes = std::min<std::size_t>(bytes - 1, static_cast<std::size_t>(text.toUtf8().size()));
    shown.source = text;
    text = oneCharacterPerLineEnd(text);
    if (text.size() <= AssistantBubbleText::unbrokenRunLimit) {
        shown.text = std::move(text);
        return shown;
    }
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
    std::optional<UserPerceivedCharacters> characters;
    QString out;
    qsizetype copied = 0;
    for (qsizetype previous = 0, next = lines.toNextBoundary(); next >= 0;
         previous = next, next = lines.toNextBoundary()) {
        if (next - previous <= AssistantBubbleText::unbrokenRunLimit) continue;
        if (!characters) {
            characters.emplace(text);
            out.reserve(text.size() + text.size() / AssistantBubbleText::breakInterval + 1);
        }
        for (qsizetype at = previous + AssistantBubbleText::breakInterval; at < next;
             at += AssistantBubbleText::breakInterval) {
            // Never inside a character drawn from several code points.
            if (!characters->isBoundary(at)) at = characters->following(at);
            if (at < 0 || at >= next) break;
            out += QStringView(text).mid(copied, at - copied);
            shown.addedBreaks.push_back(static_cast<int>(out.size()));
            out += zeroWidthSpace;
            copied = at;
        }
    }
    if (shown.addedBreaks.empty()) {
        shown.text = std::move(text);
    } else {
        out += QStringView(text).mid(copied);
        shown.text = std::move(out);
    }
    return shown;
}

}  // namespace

AssistantBubbleText::AssistantBubbleText(QWidget* parent) : InputMethodWhenEditable(parent)
{
    setReadOnly(true);
    setAcceptRichText(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Like a label's selectable text: focus by click, no tab stop of its own in every bubble.
    setFocusPolicy(Qt::ClickFocus);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    document()->setDocumentMargin(0);
    measure_.setDocumentMargin(0);
    measure_.setDefaultTextOption(wrapping());
    viewport()->setAutoFillBackground(false);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    setPalette(palette);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void AssistantBubbleText::setText(const std::string& text)
{
    if (text == text_) return;
    text_ = text;
    ShownText shown = shownText(text_, shownPrefixBytes(text_), fontMetrics());
    shownBytes_ = shown.bytes;
    shownSource_ = std::move(shown.source);
    addedBreaks_ = std::move(shown.addedBreaks);
    setPlainText(shown.text);
    measure_.setPlainText(shown.text);
    updateGeometry();
}

qsizetype AssistantBubbleText::sourceIndex(int position) const
{
    // Past the added spaces before it, then one character of the message per position, a CR LF being
    // one line feed in the document.
    const auto added = std::lower_bound(addedBreaks_.begin(), addedBreaks_.end(), position) - addedBreaks_.begin();
    qsizetype index = 0;
    for (qsizetype left = position - added; left > 0 && index < shownSource_.size(); --left)
        index += QStringView(shownSource_).mid(index, 2) == u"\r\n" ? 2 : 1;
    return index;
}

QMimeData* AssistantBubbleText::createMimeDataFromSelection() const
{
    const QTextCursor cursor = textCursor();
    const int start = cursor.selectionStart();
    const int end = cursor.selectionEnd();
    auto* data = new QMimeData;
    // All that is shown stands for the whole text.
    if (start == 0 && end >= document()->characterCount() - 1) {
        data->setText(text());
        return data;
    }
    // The message's own characters, not the document's: it turns no-break spaces into spaces and
    // every line end into a line feed. Each end goes back to the start of the character it falls in:
    // in a line of an Indic script or Thai the document's cursor stops inside some (between an
    // emoji's halves, before its skin tone, after a joiner), and a copy holds whole characters.
    // Adjoining copies still add up.
    const auto characterStart = [this](int position) {
        return UserPerceivedCharacters::boundaryAtOrBefore(shownSource_, sourceIndex(position));
    };
    const qsizetype from = characterStart(start);
    data->setText(shownSource_.mid(from, characterStart(end) - from));
    return data;
}

int AssistantBubbleText::heightForWidth(int width) const
{
    measure_.setDefaultFont(font());
    measure_.setTextWidth(std::max(1, width - 2 * frameWidth()));
    return int(std::ceil(measure_.size().height())) + 2 * frameWidth();
}

QSize AssistantBubbleText::sizeHint() const
{
    measure_.setDefaultFont(font());
    measure_.setTextWidth(-1);
    const int width = int(std::ceil(measure_.idealWidth())) + 2 * frameWidth();
    return {width, heightForWidth(width)};
}

QSize AssistantBubbleText::minimumSizeHint() const
{
    // Any width will do: a word too long for it wraps inside.
    return {fontMetrics().averageCharWidth() * 4, fontMetrics().height()};
}

void AssistantBubbleText::changeEvent(QEvent* event)
{
    QTextEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) updateGeometry();
}

void AssistantBubbleText::wheelEvent(QWheelEvent* event)
{
    event->ignore();
}

AssistantBubbleFrame::AssistantBubbleFrame(QColor fill, QColor outline, QWidget* parent)
    : QFrame(parent), fill_(std::move(fill)), outline_(std::move(outline))
{}

void AssistantBubbleFrame::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(QPen(outline_, 1));
    p.setBrush(fill_);
    p.drawRoundedRect(r, 12, 12);
}

AssistantBubbleAppearance AssistantBubble::appearance(AIAssistantRole role)
{
    return role == AIAssistantRole::user ? AssistantBubbleAppearance::user : AssistantBubbleAppearance::assistant;
}

QColor AssistantBubble::fillColor(AssistantBubbleAppearance appearance)
{
    return appearance == AssistantBubbleAppearance::user ? withAlpha(cyan(), 0.16) : withAlpha(primary(), 0.06);
}

QColor AssistantBubble::outlineColor(AssistantBubbleAppearance appearance)
{
    return appearance == AssistantBubbleAppearance::user ? withAlpha(cyan(), 0.35) : withAlpha(primary(), 0.08);
}

QString AssistantBubble::symbolName() const
{
    return appearance_ == AssistantBubbleAppearance::user ? "person.fill" : "brain";
}

QString AssistantBubble::cutNoticeText(std::size_t shownBytes, std::size_t textBytes, AIAssistantLanguage language)
{
    // The whole rounded up; the part shown in bytes below 1 KiB, else to the nearest KiB but below
    // the whole's figure: never none of it, never as much as all of it.
    const QString whole = QString::number((textBytes + 1023) / 1024) + " KiB";
    const std::size_t shownKiB = std::min((shownBytes + 512) / 1024, (textBytes + 1023) / 1024 - 1);
    const bool inBytes = shownBytes < 1024;
    const QString shown = inBytes ? QString::number(shownBytes) + (shownBytes == 1 ? " byte" : " bytes")
                                  : QString::number(shownKiB) + " KiB";
    if (language == AIAssistantLanguage::portuguese)
        return "Mostrando os primeiros " + shown + " de " + whole +
               ". Selecione tudo e copie, ou use Export…, para obter o texto inteiro.";
    return "Showing the first " + shown + " of " + whole +
           ". Select all and copy, or use Export…, to get the whole text.";
}

AssistantBubble::AssistantBubble(const AIAssistantMessage& message, QWidget* parent, AIAssistantLanguage language)
    : QWidget(parent), id_(message.id), appearance_(appearance(message.role))
{
    const bool user = appearance_ == AssistantBubbleAppearance::user;
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(user ? oppositeSideGap : 0, 0, user ? 0 : oppositeSideGap, 0);
    row->setSpacing(0);

    // As wide as the row allows up to the maximum, however short the text: a question is a bubble
    // of the same width as its answer, on its own side.
    content_ = new AssistantBubbleFrame(fillColor(appearance_), outlineColor(appearance_), this);
    content_->setObjectName("AssistantBubbleContent");
    content_->setMaximumWidth(maximumContentWidth);
    content_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* stack = new QVBoxLayout(content_);
    stack->setContentsMargins(10, 10, 10, 10);
    stack->setSpacing(4);

    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    symbol_ = new QLabel(content_);
    symbol_->setPixmap(assistantSymbol(symbolName(), primary(), 11));
    speaker_ = new QLabel(user ? "You" : "Korvalen AI Assistant", content_);
    speaker_->setTextFormat(Qt::PlainText);
    speaker_->setFont(captionFont(headerPixels, true));
    setTextColor(speaker_, primary());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(message.createdAt.time_since_epoch()).count();
    auto* time = new QLabel(QLocale::system().toString(QDateTime::fromMSecsSinceEpoch(ms).time(), QLocale::ShortFormat),
                            content_);
    time->setTextFormat(Qt::PlainText);
    time->setFont(captionFont(headerPixels, false));
    time->setObjectName("AssistantBubbleTime");
    setTextColor(time, withAlpha(primary(), 0.45));
    header->addWidget(symbol_);
    header->addWidget(speaker_);
    header->addStretch(1);
    header->addWidget(time);
    stack->addLayout(header);

    text_ = new AssistantBubbleText(content_);
    text_->setObjectName("AssistantBubbleText");
    text_->setFont(captionFont(textPixels, false));
    setTextColor(text_, primary());
    stack->addWidget(text_);
    notice_ = new QLabel(content_);
    notice_->setObjectName("AssistantBubbleCutNotice");
    notice_->setTextFormat(Qt::PlainText);
    notice_->setWordWrap(true);
    notice_->setFont(captionFont(headerPixels, false));
    setTextColor(notice_, withAlpha(primary(), 0.6));
    notice_->hide();
    stack->addWidget(notice_);
    setText(message.text, language);

    if (user) row->addStretch(0);
    row->addWidget(content_, 1);
    if (!user) row->addStretch(0);
}

void AssistantBubble::setText(const std::string& text, AIAssistantLanguage language)
{
    // The answer's placeholder shows a quiet ellipsis until the answer arrives.
    static const std::string placeholder = "…";
    text_->setText(text.empty() ? placeholder : text);
    if (text_->isCut()) notice_->setText(cutNoticeText(text_->shownBytes(), text_->textBytes(), language));
    notice_->setVisible(text_->isCut());
}

}  // namespace korvalen
