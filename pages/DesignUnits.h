#pragma once

class QFont;

// Positions and sizes in page files, and a data field's own measures, are
// design units: pixels at the standard font, "Sans Serif" 9 pt at 96 dpi,
// whose line is 14 pixels high. At another font they scale with the height
// of its line, so that a larger desktop font makes the page larger as a
// whole instead of cutting its texts.
namespace DesignUnits {

constexpr int StandardLineHeight = 14;

// Pixels per design unit at the font.
double Scale(const QFont& font);
int ToPixels(int units, double scale);

} // namespace DesignUnits
