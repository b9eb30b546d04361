#pragma once

#include "Model/AIVocabulary.h"

#include <QColor>
#include <QString>

namespace korvalen::Theme {

// The dark palette of the main window.
inline const QColor window{0x0d, 0x10, 0x16};
inline const QColor sidebar{0x12, 0x16, 0x1e};
inline const QColor panel{0x17, 0x1c, 0x26};
inline const QColor border{0x26, 0x2d, 0x3a};
inline const QColor text{0xe6, 0xea, 0xf2};
inline const QColor secondaryText{0x8b, 0x95, 0xa7};
inline const QColor accent{0x4f, 0x8c, 0xff};
inline const QColor good{0x3c, 0xcb, 0x8a};
inline const QColor warning{0xf0, 0xb2, 0x3c};
inline const QColor bad{0xf0, 0x5a, 0x64};

// The text size of every widget that sets none of its own.
inline constexpr int defaultFontPixels = 13;

QColor categoryColor(AICategory category);
// Fusion with the dark palette and the default font, for the whole application and its dialogs;
// call once after QApplication exists.
void applyToApplication();
// The style sheet of the whole application: it styles named classes and objects only and leaves the
// text of every other widget to the palette and the widget's own font.
QString styleSheet();

}  // namespace korvalen::Theme
