#include "Views/ElidedLabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace korvalen {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text)
{
    fullText_ = text;
    setText(text);
    setToolTip(text);
}

QSize ElidedLabel::minimumSizeHint() const
{
    return QSize(0, QLabel::minimumSizeHint().height());
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(fullText_, Qt::ElideRight, area.width());
    QStyleOption option;
    option.initFrom(this);
    style()->drawItemText(&painter, area, int(alignment()) | Qt::TextSingleLine, option.palette, isEnabled(), shown,
                          foregroundRole());
}

}  // namespace korvalen
