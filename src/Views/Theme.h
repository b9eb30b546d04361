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

QColor categoryColor(AICategory category);
// Fusion with the dark palette, for the whole application; call once after QApplication exists.
void applyToApplication();
// The style sheet of the whole window.
QString styleSheet();

}  // namespace korvalen::Theme
