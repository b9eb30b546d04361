#include "Assistant/Views/AssistantBubble.h"

#include "Assistant/Views/AssistantSymbols.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <chrono>
#include <cmath>

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

}  // namespace

AssistantBubbleText::AssistantBubbleText(QWidget* parent) : QTextEdit(parent)
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

void AssistantBubbleText::setText(const QString& text)
{
    if (text == toPlainText()) return;
    setPlainText(text);
    measure_.setPlainText(text);
    updateGeometry();
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

AssistantBubble::AssistantBubble(const AIAssistantMessage& message, QWidget* parent)
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
    setText(message.text);

    if (user) row->addStretch(0);
    row->addWidget(content_, 1);
    if (!user) row->addStretch(0);
}

void AssistantBubble::setText(const std::string& text)
{
    // The answer's placeholder shows a quiet ellipsis until the answer arrives.
    text_->setText(text.empty() ? QStringLiteral("…") : QString::fromStdString(text));
}

}  // namespace korvalen
