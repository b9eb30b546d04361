#include "Assistant/Views/AssistantSymbols.h"

#include <QPainter>
#include <QPainterPath>

namespace korvalen {

QPixmap assistantSymbol(const QString& name, const QColor& color, int size)
{
    const qreal ratio = 2.0;
    QPixmap pixmap(static_cast<int>(size * ratio), static_cast<int>(size * ratio));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPen pen(color, std::max<qreal>(1.2, s / 11.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);

    if (name == "person.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(s * 0.32, s * 0.08, s * 0.36, s * 0.36));
        QPainterPath body;
        body.moveTo(s * 0.12, s * 0.92);
        body.cubicTo(s * 0.14, s * 0.56, s * 0.86, s * 0.56, s * 0.88, s * 0.92);
        body.closeSubpath();
        p.drawPath(body);
    } else if (name == "checkmark.circle.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(s * 0.06, s * 0.06, s * 0.88, s * 0.88));
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setPen(QPen(Qt::black, s / 9.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF{{s * 0.30, s * 0.52}, {s * 0.45, s * 0.66}, {s * 0.71, s * 0.36}});
    } else if (name == "brain" || name == "brain.head.profile") {
        const bool profile = name == "brain.head.profile";
        if (profile) {
            QPainterPath head;
            head.moveTo(s * 0.30, s * 0.94);
            head.lineTo(s * 0.30, s * 0.76);
            head.cubicTo(s * 0.10, s * 0.64, s * 0.08, s * 0.14, s * 0.50, s * 0.08);
            head.cubicTo(s * 0.82, s * 0.06, s * 0.92, s * 0.30, s * 0.86, s * 0.46);
            head.lineTo(s * 0.94, s * 0.60);
            head.lineTo(s * 0.84, s * 0.64);
            head.lineTo(s * 0.84, s * 0.80);
            head.lineTo(s * 0.66, s * 0.80);
            head.lineTo(s * 0.66, s * 0.94);
            p.drawPath(head);
            p.drawEllipse(QRectF(s * 0.34, s * 0.24, s * 0.30, s * 0.26));
        } else {
            p.drawEllipse(QRectF(s * 0.10, s * 0.14, s * 0.42, s * 0.72));
            p.drawEllipse(QRectF(s * 0.48, s * 0.14, s * 0.42, s * 0.72));
            p.drawLine(QPointF(s * 0.50, s * 0.20), QPointF(s * 0.50, s * 0.80));
            p.drawArc(QRectF(s * 0.20, s * 0.36, s * 0.22, s * 0.22), 90 * 16, 180 * 16);
            p.drawArc(QRectF(s * 0.58, s * 0.36, s * 0.22, s * 0.22), 270 * 16, 180 * 16);
        }
    } else if (name == "externaldrive.connected.to.line.below") {
        p.drawRoundedRect(QRectF(s * 0.10, s * 0.14, s * 0.80, s * 0.40), s * 0.10, s * 0.10);
        p.setBrush(color);
        p.drawEllipse(QRectF(s * 0.68, s * 0.30, s * 0.09, s * 0.09));
        p.drawLine(QPointF(s * 0.50, s * 0.54), QPointF(s * 0.50, s * 0.84));
        p.drawLine(QPointF(s * 0.08, s * 0.86), QPointF(s * 0.92, s * 0.86));
    }
    return pixmap;
}

}  // namespace korvalen
