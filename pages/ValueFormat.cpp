#include "ValueFormat.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace {

constexpr int MaxDecimals = 15;
constexpr std::array<double, MaxDecimals + 1> PowersOfTen = {1e0, 1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The longest fixed text of a double: 309 integer digits, the point and the
// fraction digits.
using TDigitBuffer = std::array<char, 309 + 1 + MaxDecimals + 7>;

// Whether the exact value of the magnitude lies halfway between two numbers
// of `decimals` fraction digits: it does when it is an odd multiple of
// 2^-(decimals + 1).
bool IsExactTie(double magnitude, int decimals)
{
    const double halves = std::ldexp(magnitude, decimals + 1);
    return halves == std::floor(halves) && std::fmod(halves, 2.0) == 1.0;
}

// The magnitude times 10^decimals rounded to a whole number, where the
// product in floating point shows how the exact one rounds: below 2^52, and
// with a fraction farther from a half than the product's rounding error (half
// a unit in its last place, below max(product, 1) x 2^-52). Nothing
// otherwise.
std::optional<uint64_t> RoundedScaled(double magnitude, int decimals)
{
    const double scaled = magnitude * PowersOfTen[static_cast<std::size_t>(decimals)];
    if (!(scaled < 0x1p52))
        return std::nullopt;
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    if (std::fabs(fraction - 0.5) <= std::max(scaled, 1.0) * 0x1p-52)
        return std::nullopt;
    return static_cast<uint64_t>(whole) + (fraction > 0.5 ? 1 : 0);
}

// The fixed text of a whole number of 10^-decimals.
std::string_view WithPoint(uint64_t units, int decimals, TDigitBuffer& buffer)
{
    const auto perWhole = static_cast<uint64_t>(PowersOfTen[static_cast<std::size_t>(decimals)]);
    char* end = std::to_chars(buffer.begin(), buffer.end(), units / perWhole).ptr;
    if (decimals > 0) {
        *end++ = '.';
        end += decimals;
        uint64_t fraction = units % perWhole;
        for (char* p = end; p != end - decimals; fraction /= 10)
            *--p = static_cast<char>('0' + fraction % 10);
    }
    return {buffer.data(), static_cast<std::size_t>(end - buffer.begin())};
}

// The magnitude in fixed notation with `decimals` fraction digits, as Qt's
// fixed notation writes it: the exact binary value rounded, an exact tie
// upwards. Most values round in floating point; the rest, std::to_chars
// writes exactly, but it rounds an exact tie to even. Text has already
// rounded the halves of whole numbers, so a tie here has fraction digits.
std::string_view FixedDigits(double magnitude, int decimals, TDigitBuffer& buffer)
{
    if (const auto units = RoundedScaled(magnitude, decimals))
        return WithPoint(*units, decimals, buffer);
    const bool tie = IsExactTie(magnitude, decimals);
    char* end = std::to_chars(buffer.begin(), buffer.end(), magnitude, std::chars_format::fixed,
                              tie ? decimals + 1 : decimals)
                    .ptr;
    if (tie) {
        // The text with one more digit is exact and ends in the 5. The digit
        // before it is a 2 or a 7 (the 5^decimals in the tie make it so), so
        // one more there carries nowhere.
        --end;
        ++end[-1];
    }
    return {buffer.data(), static_cast<std::size_t>(end - buffer.begin())};
}

} // namespace

TValueFormat::TValueFormat(const QLocale& locale)
    : zero_(locale.zeroDigit().toUcs4().value(0, U'0')), decimalPoint_(locale.decimalPoint()),
      groupSeparator_(locale.groupSeparator())
{
}

QChar* TValueFormat::WriteDigit(QChar* out, char digit) const
{
    const char32_t c = zero_ + static_cast<char32_t>(digit - '0');
    if (QChar::requiresSurrogates(c)) {
        *out++ = QChar(QChar::highSurrogate(c));
        *out++ = QChar(QChar::lowSurrogate(c));
    } else {
        *out++ = QChar(static_cast<char16_t>(c));
    }
    return out;
}

QString TValueFormat::Text(double x, int decimals, bool postFix, int unitDivider) const
{
    double magnitude = std::fabs(x);
    char suffix = '\0';
    if (postFix) {
        for (const char s : {'K', 'M', 'G'}) {
            if (magnitude >= unitDivider) {
                magnitude /= 1000;
                suffix = s;
            }
        }
    }
    decimals = std::clamp(decimals, 0, MaxDecimals);
    // Exact halves round away from zero, as a technician reads them.
    const double scale = PowersOfTen[static_cast<std::size_t>(decimals)];
    const double scaled = magnitude * scale;
    if (scaled < 0x1p52 && scaled - std::floor(scaled) == 0.5)
        magnitude = (std::floor(scaled) + 1) / scale;

    TDigitBuffer buffer;
    const std::string_view digits = FixedDigits(magnitude, decimals, buffer);
    const std::size_t point = decimals == 0 ? digits.size() : digits.size() - static_cast<std::size_t>(decimals) - 1;
    // Written in place, into room for the longest text these digits make
    // (each digit two UTF-16 units) and a character that the caller may add.
    const auto room = static_cast<qsizetype>(1 + 2 * digits.size() + point / 3 * groupSeparator_.size()
                                             + decimalPoint_.size() + 1 + 1);
    QString text(room, Qt::Uninitialized);
    QChar* out = text.data();
    if (x < 0)
        *out++ = u'-';
    for (std::size_t i = 0; i < point; ++i) {
        if (i > 0 && (point - i) % 3 == 0)
            out = std::copy(groupSeparator_.cbegin(), groupSeparator_.cend(), out);
        out = WriteDigit(out, digits[i]);
    }
    if (decimals > 0) {
        out = std::copy(decimalPoint_.cbegin(), decimalPoint_.cend(), out);
        for (char digit : digits.substr(point + 1))
            out = WriteDigit(out, digit);
    }
    if (suffix)
        *out++ = QLatin1Char(suffix);
    text.truncate(out - text.constData());
    return text;
}
