#include "SettingValues.h"

#include "ModbusConnection.h"
#include "TcpSocket.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace SettingValues {

QString Shown(const QString& text)
{
    // A character takes at most two UTF-16 units: only the beginning is read.
    const QList<uint> characters = QStringView(text).first(std::min(text.size(), 2 * MaxShownCharacters + 2)).toUcs4();
    QString shown;
    for (qsizetype i = 0; i < characters.size(); ++i) {
        if (i == MaxShownCharacters)
            return shown + "...";
        const char32_t c = characters[i];
        // Every control character is below U+0100.
        if (QChar::category(c) == QChar::Other_Control)
            shown += "\\x" + QString::number(uint(c), 16).toUpper().rightJustified(2, '0');
        else
            shown += QString::fromUcs4(&c, 1);
    }
    return shown;
}

int Integer(const QString& label, const QString& text, int low, int high)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < low || value > high)
        throw TSettingRefusal{QString("%1: \"%2\" is not a whole number from %3 to %4")
                                  .arg(label, Shown(text), QString::number(low), QString::number(high))};
    return value;
}

std::chrono::milliseconds Interval(const QString& label, const QString& text)
{
    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < MinIntervalSeconds || seconds > MaxIntervalSeconds)
        throw TSettingRefusal{QString("%1: \"%2\" is not a number of seconds from %3 to %4")
                                  .arg(label, Shown(text), QString::number(MinIntervalSeconds),
                                       QString::number(MaxIntervalSeconds))};
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

TBaudRate Baud(const QString& label, const QString& text)
{
    bool ok = false;
    const uint32_t rate = text.trimmed().toUInt(&ok);
    for (int r = int(TBaudRate::br110); ok && r < int(TBaudRate::brCustom); ++r)
        if (BaudRateValue(TBaudRate(r), 0) == rate)
            return TBaudRate(r);
    throw TSettingRefusal{QString("%1: \"%2\" is not a line speed of the serial port (110 to 256000 baud, "
                                  "such as 9600, 19200, 38400, 57600 or 115200)")
                              .arg(label, Shown(text))};
}

TLogSelection Params(const QString& label, const QString& text)
{
    TLogSelection selection{};
    if (text.trimmed().compare("all", Qt::CaseInsensitive) == 0) {
        selection.fill(true);
        return selection;
    }
    for (const QString& item : text.split(',')) {
        const QStringList ends = item.split('-');
        bool okFirst = false;
        bool okLast = false;
        const int first = ends.front().trimmed().toInt(&okFirst);
        const int last = ends.back().trimmed().toInt(&okLast);
        if (ends.size() > 2 || !okFirst || !okLast || first < 0 || last < first || last >= int(LogParameterCount))
            throw TSettingRefusal{QString("%1: \"%2\" is neither all nor a list of indices 0-%3 and ranges "
                                          "such as 0,8,16-18")
                                      .arg(label, Shown(text), QString::number(LogParameterCount - 1))};
        for (int i = first; i <= last; ++i)
            selection[std::size_t(i)] = true;
    }
    return selection;
}

bool Flag(const QString& label, const QString& text)
{
    const QString word = text.trimmed().toLower();
    if (word == "yes" || word == "true" || word == "on" || word == "1")
        return true;
    if (word == "no" || word == "false" || word == "off" || word == "0")
        return false;
    throw TSettingRefusal{QString("%1: \"%2\" is neither yes nor no").arg(label, Shown(text))};
}

QString Address(const QString& label, const QString& text)
{
    if (!TTcpSocket::IsAddress(text.trimmed().toStdString()))
        throw TSettingRefusal{QString("%1: \"%2\" is not an IP address").arg(label, Shown(text))};
    return text.trimmed();
}

std::pair<QString, std::optional<QString>> SplitHostPort(const QString& text)
{
    static const QRegularExpression form(R"(^\[([^\]]*)\](?::(.*))?$|^([^:]*):(.*)$)");
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return {text, std::nullopt};
    if (match.capturedStart(1) >= 0)
        return {match.captured(1), match.capturedStart(2) >= 0 ? std::optional(match.captured(2)) : std::nullopt};
    return {match.captured(3), match.captured(4)};
}

} // namespace SettingValues
