#pragma once

// Whole files as a test reads and writes them.

#include <QFile>
#include <QString>
#include <QStringList>

inline QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines of a log file, without their CR LF.
inline QStringList Lines(const QString& path)
{
    return QString::fromUtf8(FileBytes(path)).split("\r\n", Qt::SkipEmptyParts);
}

// Writes a whole file; false when it could not be written.
inline bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
