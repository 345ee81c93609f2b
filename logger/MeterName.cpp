#include "MeterName.h"

#include <QList>

namespace {

QString CodePoint(char32_t c)
{
    return "U+" + QString::number(uint(c), 16).toUpper().rightJustified(4, '0');
}

} // namespace

namespace MeterName {

QString Fault(const QString& name)
{
    if (name.isEmpty())
        return "is empty";
    const QList<uint> characters = name.toUcs4();
    for (const char32_t c : characters) {
        // libmosquitto refuses a topic that holds either, as MQTT allows.
        if (QChar::category(c) == QChar::Other_Control)
            return QString("holds the control character %1, which an MQTT topic cannot carry").arg(CodePoint(c));
        if (QChar::isNonCharacter(c))
            return QString("holds %1, a Unicode noncharacter, which an MQTT topic cannot carry").arg(CodePoint(c));
    }
    if (characters.size() > MaxCharacters)
        return QString("is longer than %1 characters").arg(MaxCharacters);
    if (name.endsWith('\\'))
        return "ends in a backslash, which an InfluxDB tag cannot carry";
    return {};
}

QString MqttLevel(const QString& name)
{
    QString level = name;
    for (QChar& c : level)
        if (c == '/' || c == '+' || c == '#')
            c = '_';
    return level;
}

QString MqttTopic(const QString& prefix, const QString& name)
{
    return prefix + '/' + MqttLevel(name);
}

QByteArray InfluxTag(const QString& name)
{
    QByteArray out;
    for (const char c : name.toUtf8()) {
        if (c == ',' || c == ' ' || c == '=')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace MeterName
