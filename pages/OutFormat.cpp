#include "OutFormat.h"

#include <cmath>

namespace OutFormat {

namespace {

// Widths and precisions beyond these make no sense on a data page.
constexpr int MaxWidth = 64;
constexpr int MaxPrecision = 20;

struct TConversion {
    bool leftAlign = false, plus = false, space = false, zeroPad = false, alternate = false;
    int width = 0;
    int precision = -1;
    QChar type;
};

struct TTemplate {
    QString before, after;
    std::optional<TConversion> conversion;
};

bool ReadNumber(const QString& t, int& i, int& number, int limit)
{
    number = 0;
    const int start = i;
    while (i < t.size() && t[i].isDigit()) {
        number = number * 10 + t[i].digitValue();
        if (number > limit)
            return false;
        ++i;
    }
    return i > start;
}

// Reads the conversion that starts after the "%" at t[i].
std::optional<TConversion> ReadConversion(const QString& t, int& i)
{
    TConversion c;
    for (; i < t.size(); ++i) {
        const QChar f = t[i];
        if (f == '-') c.leftAlign = true;
        else if (f == '+') c.plus = true;
        else if (f == ' ') c.space = true;
        else if (f == '0') c.zeroPad = true;
        else if (f == '#') c.alternate = true;
        else break;
    }
    if (i < t.size() && t[i].isDigit() && !ReadNumber(t, i, c.width, MaxWidth))
        return std::nullopt;
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (!ReadNumber(t, i, c.precision, MaxPrecision))
            c.precision = 0;
    }
    // Length modifiers say nothing here: the argument's kind is known.
    while (i < t.size() && QString("hlLqjzt").contains(t[i]))
        ++i;
    if (i >= t.size())
        return std::nullopt;
    c.type = t[i++];
    return c;
}

std::optional<TTemplate> ParseTemplate(const QString& t)
{
    TTemplate result;
    QString* text = &result.before;
    for (int i = 0; i < t.size();) {
        if (t[i] != '%') {
            text->append(t[i++]);
            continue;
        }
        ++i;
        if (i < t.size() && t[i] == '%') {
            text->append('%');
            ++i;
            continue;
        }
        if (result.conversion)
            return std::nullopt; // one value, one conversion
        result.conversion = ReadConversion(t, i);
        if (!result.conversion)
            return std::nullopt;
        text = &result.after;
    }
    return result;
}

QString Pad(const TConversion& c, const QString& sign, const QString& digits, const QString& prefix = {})
{
    QString body = prefix + digits;
    const int fill = c.width - static_cast<int>(sign.size() + body.size());
    if (fill <= 0)
        return sign + body;
    if (c.leftAlign)
        return sign + body + QString(fill, ' ');
    if (c.zeroPad)
        return sign + prefix + QString(fill, '0') + digits;
    return QString(fill, ' ') + sign + body;
}

QString SignOf(const TConversion& c, bool negative)
{
    return negative ? "-" : c.plus ? "+" : c.space ? " " : "";
}

std::optional<QString> WholeText(const TConversion& c, int64_t value)
{
    const QChar type = c.type;
    const bool isSignedType = type == 'd' || type == 'i';
    if (!isSignedType && type != 'u' && type != 'x' && type != 'X' && type != 'o')
        return std::nullopt;
    if (isSignedType) {
        const bool negative = value < 0;
        const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        QString digits = QString::number(magnitude);
        if (c.precision > digits.size())
            digits = QString(c.precision - digits.size(), '0') + digits;
        return Pad(c, SignOf(c, negative), digits);
    }
    const auto pattern = static_cast<uint64_t>(value);
    const int base = type == 'o' ? 8 : type == 'u' ? 10 : 16;
    QString digits = QString::number(pattern, base);
    if (type == 'X')
        digits = digits.toUpper();
    if (c.precision > digits.size())
        digits = QString(c.precision - digits.size(), '0') + digits;
    QString prefix;
    if (c.alternate && pattern != 0 && base == 16)
        prefix = type == 'X' ? "0X" : "0x";
    if (c.alternate && base == 8 && !digits.startsWith('0'))
        digits.prepend('0');
    return Pad(c, {}, digits, prefix);
}

std::optional<QString> FloatingText(const TConversion& c, double value, const QLocale& locale)
{
    const char type = c.type.toLower().toLatin1();
    if (type != 'f' && type != 'e' && type != 'g')
        return std::nullopt;
    if (!std::isfinite(value))
        return std::nullopt;
    const int precision = c.precision < 0 ? 6 : c.precision;
    QLocale plain(QLocale::C);
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    QString digits = plain.toString(std::fabs(value), type, type == 'g' && precision == 0 ? 1 : precision);
    if (c.type.isUpper())
        digits = digits.toUpper();
    digits.replace('.', locale.decimalPoint());
    return Pad(c, SignOf(c, std::signbit(value)), digits);
}

template <typename Render>
std::optional<QString> Apply(const QString& templ, Render render)
{
    const auto parsed = ParseTemplate(templ);
    if (!parsed)
        return std::nullopt;
    if (!parsed->conversion)
        return parsed->before;
    const auto text = render(*parsed->conversion);
    if (!text)
        return std::nullopt;
    return parsed->before + *text + parsed->after;
}

} // namespace

std::optional<QString> FormatWhole(const QString& templ, int64_t value, const QLocale&)
{
    return Apply(templ, [&](const TConversion& c) { return WholeText(c, value); });
}

std::optional<QString> FormatFloating(const QString& templ, double value, const QLocale& locale)
{
    return Apply(templ, [&](const TConversion& c) { return FloatingText(c, value, locale); });
}

} // namespace OutFormat
