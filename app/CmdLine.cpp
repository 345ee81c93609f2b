#include "CmdLine.h"

#include <QCoreApplication>

QStringList CmdLineArguments()
{
    QStringList arguments = QCoreApplication::arguments();
    if (!arguments.isEmpty())
        arguments.removeFirst();
    return arguments;
}

bool CmdLineSwitch(const QString& key, const QStringList& arguments)
{
    const QString upperKey = key.toUpper();
    for (const QString& argument : arguments)
        if (argument.toUpper().startsWith(upperKey))
            return true;
    return false;
}

// The key may stand anywhere in the name, so X/TOP=10 is read as /TOP. It is
// looked for only before the "=", because a device path given as a value
// (/PORT=/tmp/top/ttyV0) must not be taken for another switch.
QString CmdLineValue(const QString& key, const QStringList& arguments)
{
    const QString upperKey = key.toUpper();
    QString value;
    for (const QString& argument : arguments) {
        const qsizetype equals = argument.indexOf('=');
        if (equals >= 0 && argument.left(equals).toUpper().contains(upperKey))
            value = argument.mid(equals + 1);
    }
    return value;
}
