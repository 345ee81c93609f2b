#include "AdapterLatency.h"

#include "SerialPort.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

std::optional<int> AdapterLatencyTimerMs(const QString& port, const QString& sysfsRoot)
{
    const QFileInfo device(QString::fromStdString(SerialDevicePath(port.toStdString())));
    const QString tty = QFileInfo(device.canonicalFilePath()).fileName();
    if (tty.isEmpty())
        return std::nullopt;
    QFile attribute(QDir(sysfsRoot).filePath("class/tty/" + tty + "/device/latency_timer"));
    if (!attribute.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const int ms = attribute.readAll().trimmed().toInt(&ok);
    return ok ? std::optional<int>(ms) : std::nullopt;
}
