#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <optional>

// A user's printf-style template for a field's value, checked and applied by
// our own code: literal text, "%%", and at most one conversion that suits the
// argument (d, i, u, x, X or o for a whole value; f, F, e, E, g or G for any
// other), with flags "-+ 0#", a width and a precision. Anything else (%n, %s,
// %p, "*" widths, two conversions, a conversion of the other kind) does not
// suit, and the result is empty. Floating texts use the locale's decimal
// separator.
namespace OutFormat {

std::optional<QString> FormatWhole(const QString& templ, int64_t value, const QLocale& locale);
std::optional<QString> FormatFloating(const QString& templ, double value, const QLocale& locale);

} // namespace OutFormat
