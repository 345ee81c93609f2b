#include "ConfigWordSources.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

std::optional<int> FindIndex(int32_t code)
{
    for (int row = int(OutputSources.size()) - 1; row >= 0; --row)
        if (OutputSources[row].Code == code)
            return row;
    return std::nullopt;
}

TOutputSource UnknownSource(int32_t code)
{
    return {code, 1, false, false, "Unknown source", ""};
}

QString SourceCaption(const TOutputSource& source)
{
    // The code is a 16-bit register value; a negative one is shown as its
    // 16-bit pattern rather than as eight digits.
    return QString::asprintf("%s -- [0x%.2x]", source.Name, unsigned(source.Code) & 0xFFFFu);
}

long double SourceMultiplier(const TOutputSource& source, bool includeRatios, long double ptRatio,
                             long double ctRatio)
{
    long double m = 1;
    if (includeRatios) {
        if (source.UsesPT)
            m *= ptRatio;
        if (source.UsesCT)
            m *= ctRatio;
    }
    return m;
}

namespace {

int Decimals(int32_t scale)
{
    int decimals = 0;
    for (; scale >= 10; scale /= 10)
        ++decimals;
    return decimals;
}

} // namespace

QString TagToText(const TOutputSource& source, int32_t raw, long double multiplier)
{
    const long double value = raw * multiplier / source.Scale;
    return QString::number(double(value), 'f', Decimals(source.Scale));
}

int32_t TextToTag(const TOutputSource& source, const QString& text, long double multiplier)
{
    if (multiplier == 0)
        multiplier = 1;
    long double raw = ParseNumber(text).value_or(0) / multiplier * source.Scale;
    // A text that names a raw value exactly (4.1 A is raw 4100) may come out
    // a hair below it in binary floating point; truncating that would lose a
    // whole unit, so values within rounding noise of an integer snap to it.
    const long double nearest = std::round(raw);
    if (std::fabs(raw - nearest) <= 1e-9L * std::max(1.0L, std::fabs(raw)))
        raw = nearest;
    constexpr long double lowest = std::numeric_limits<int32_t>::min();
    constexpr long double highest = std::numeric_limits<int32_t>::max();
    return int32_t(std::trunc(std::clamp(raw, lowest, highest)));
}

std::optional<long double> ParseNumber(const QString& text)
{
    QByteArray bytes = text.trimmed().toLatin1();
    if (bytes.startsWith('+'))
        bytes.remove(0, 1);
    if (bytes.isEmpty())
        return std::nullopt;
    long double value = 0;
    const char* end = bytes.constData() + bytes.size();
    const auto [ptr, ec] = std::from_chars(bytes.constData(), end, value, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}
