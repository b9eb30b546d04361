#include "Assistant/Views/AssistantProviderSelector.h"

#include "Assistant/Views/AssistantSymbols.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>

namespace korvalen {

namespace {

const QColor primaryColor(0xe6, 0xea, 0xf2);
const QColor secondaryColor(0x8b, 0x95, 0xa7);
const QColor purple(0xaf, 0x52, 0xde);
const QColor focusRing(0x7f, 0xb0, 0xff);

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

QFont segmentFont()
{
    QFont font;
    font.setPixelSize(11);
    font.setWeight(QFont::DemiBold);
    return font;
}

}  // namespace

AssistantProviderSegment::AssistantProviderSegment(AIAssistantProvider provider, QString title, QString symbol,
                                                   QWidget* parent)
    : QAbstractButton(parent), provider_(provider), symbol_(std::move(symbol))
{
    setText(title);
    setFont(segmentFont());
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(title);
}

void AssistantProviderSegment::keyPressEvent(QKeyEvent* event)
{
    // Return chooses like Space and a click.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && isEnabled()) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void AssistantProviderSegment::changeEvent(QEvent* event)
{
    // A blocked choice neither invites a click nor looks like one that would take it.
    if (event->type() == QEvent::EnabledChange) {
        setCursor(isEnabled() ? Qt::PointingHandCursor : Qt::ArrowCursor);
        update();
    }
    QAbstractButton::changeEvent(event);
}

void AssistantProviderSegment::setSelected(bool selected)
{
    selected_ = selected;
    update();
}

QSize AssistantProviderSegment::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {10 + 12 + 6 + metrics.horizontalAdvance(text()) + 10, 7 + std::max(12, metrics.height()) + 7};
}

void AssistantProviderSegment::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) p.setOpacity(0.45);
    if (selected_) {
        p.setPen(QPen(withAlpha(purple, 0.55), 1));
        p.setBrush(withAlpha(purple, 0.22));
        p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
    }
    const QColor ink = selected_ ? primaryColor : secondaryColor;
    const int symbolSize = 12;
    const int y = (height() - symbolSize) / 2;
    p.drawPixmap(10, y, assistantSymbol(shownSymbol(), ink, symbolSize));
    p.setPen(ink);
    p.setFont(font());
    const QRect textRect(10 + symbolSize + 6, 0, width() - (10 + symbolSize + 6) - 10, height());
    p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
               QFontMetrics(font()).elidedText(text(), Qt::ElideRight, textRect.width()));
    if (hasFocus()) {
        p.setOpacity(1);
        p.setPen(QPen(focusRing, 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 7, 7);
    }
}

AssistantProviderSelector::AssistantProviderSelector(AIAssistantProvider selectedProvider, bool disabled,
                                                     std::function<void(AIAssistantProvider)> onSelect, QWidget* parent)
    : QWidget(parent), onSelect_(std::move(onSelect))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(3, 3, 3, 3);
    row->setSpacing(6);
    expert_ =
        new AssistantProviderSegment(AIAssistantProvider::olvaneExpert, "Olvane Expert 2", "brain.head.profile", this);
    local_ = new AssistantProviderSegment(AIAssistantProvider::localModel, "Local LLM",
                                          "externaldrive.connected.to.line.below", this);
    for (AssistantProviderSegment* segment : {expert_, local_}) {
        row->addWidget(segment, 1);
        connect(segment, &QAbstractButton::clicked, this, [this, segment] {
            if (onSelect_) onSelect_(segment->provider());
        });
    }
    setSelectedProvider(selectedProvider);
    setDisabled(disabled);
}

AssistantProviderSegment* AssistantProviderSelector::segment(AIAssistantProvider provider) const
{
    return provider == AIAssistantProvider::olvaneExpert ? expert_ : local_;
}

void AssistantProviderSelector::setSelectedProvider(AIAssistantProvider provider)
{
    expert_->setSelected(provider == AIAssistantProvider::olvaneExpert);
    local_->setSelected(provider == AIAssistantProvider::localModel);
}

void AssistantProviderSelector::setDisabled(bool disabled)
{
    expert_->setEnabled(!disabled);
    local_->setEnabled(!disabled);
}

void AssistantProviderSelector::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(withAlpha(primaryColor, 0.08), 1));
    p.setBrush(withAlpha(QColor(0x1f, 0x26, 0x34), 0.8));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
}

}  // namespace korvalen
