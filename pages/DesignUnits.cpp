#include "DesignUnits.h"

#include <QFontMetrics>

#include <cmath>

double DesignUnits::Scale(const QFont& font)
{
    return static_cast<double>(QFontMetrics(font).height()) / StandardLineHeight;
}

int DesignUnits::ToPixels(int units, double scale)
{
    return static_cast<int>(std::lround(units * scale));
}
