#pragma once

#include "Model/AIVocabulary.h"

#include <QColor>
#include <QIcon>
#include <QRectF>

#include <string_view>

class QPainter;

namespace korvalen {

// Small vector glyphs keyed by the symbol names the interface uses ("eye", "cpu", "sparkles", ...),
// drawn with paths so they need no image files or icon theme and stay sharp at any size.
namespace SymbolGlyph {

bool has(std::string_view name);
// Draws the glyph centred in `box`, scaled to fit its shorter side. An unknown name draws nothing.
void paint(QPainter& painter, std::string_view name, const QRectF& box, const QColor& color);
// The glyph as an icon of `size` pixels (rendered at twice that for high-density screens).
QIcon icon(std::string_view name, const QColor& color, int size = 18);

// The symbol of a category, the same in the main window and in the visualization header.
const char* categorySymbol(AICategory category);

}  // namespace SymbolGlyph

}  // namespace korvalen
