#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <cstdlib>

namespace korvalen::test {

// The colour a widget's text is drawn in, as the screen shows it: the pixel farthest from the
// background (the top-left pixel).
inline QColor inkOf(QWidget* widget)
{
    const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb background = image.pixel(0, 0);
    auto distance = [&](QRgb c) {
        return std::abs(qRed(c) - qRed(background)) + std::abs(qGreen(c) - qGreen(background)) +
               std::abs(qBlue(c) - qBlue(background));
    };
    QRgb best = background;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (distance(image.pixel(x, y)) > distance(best)) best = image.pixel(x, y);
    return QColor::fromRgb(best);
}

// Within antialiasing's reach of each other, channel by channel.
inline bool nearColour(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) <= 6 && std::abs(a.green() - b.green()) <= 6 &&
           std::abs(a.blue() - b.blue()) <= 6;
}

}  // namespace korvalen::test
