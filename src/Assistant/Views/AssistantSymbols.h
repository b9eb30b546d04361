#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace korvalen {

// The few system symbols the assistant's views show, drawn by hand at `size` pixels:
// "brain", "brain.head.profile", "person.fill", "checkmark.circle.fill",
// "externaldrive.connected.to.line.below". An unknown name draws nothing.
QPixmap assistantSymbol(const QString& name, const QColor& color, int size);

}  // namespace korvalen
