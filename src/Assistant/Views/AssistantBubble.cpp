#include "Assistant/Views/AssistantBubble.h"

#include "Assistant/Views/AssistantSymbols.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <chrono>

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

}  // namespace

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

    content_ = new AssistantBubbleFrame(fillColor(appearance_), outlineColor(appearance_), this);
    content_->setObjectName("AssistantBubbleContent");
    content_->setMaximumWidth(maximumContentWidth);
    content_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    auto* stack = new QVBoxLayout(content_);
    stack->setContentsMargins(10, 10, 10, 10);
    stack->setSpacing(4);

    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    symbol_ = new QLabel(content_);
    symbol_->setPixmap(assistantSymbol(symbolName(), primary(), 11));
    speaker_ = new QLabel(user ? "You" : "Korvalen AI Assistant", content_);
    speaker_->setTextFormat(Qt::PlainText);
    speaker_->setFont(captionFont(10, true));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(message.createdAt.time_since_epoch()).count();
    auto* time = new QLabel(QLocale::system().toString(QDateTime::fromMSecsSinceEpoch(ms).time(), QLocale::ShortFormat),
                            content_);
    time->setTextFormat(Qt::PlainText);
    time->setFont(captionFont(10, false));
    time->setObjectName("AssistantBubbleTime");
    header->addWidget(symbol_);
    header->addWidget(speaker_);
    header->addStretch(1);
    header->addWidget(time);
    stack->addLayout(header);

    text_ = new QLabel(content_);
    text_->setObjectName("AssistantBubbleText");
    // Never rich text: an answer holding "<b>" or "<img>" shows those characters.
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setFont(captionFont(12, false));
    text_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    stack->addWidget(text_);
    setText(message.text);

    if (user) row->addStretch(1);
    row->addWidget(content_, 0);
    if (!user) row->addStretch(1);
}

void AssistantBubble::setText(const std::string& text)
{
    text_->setText(QString::fromStdString(text));
    // The answer's placeholder shows a quiet ellipsis until the answer arrives.
    if (text.empty()) text_->setText("…");
}

}  // namespace korvalen
