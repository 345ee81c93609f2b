#include "IniFile.h"

#include <QFile>
#include <QSaveFile>

#include <limits>

namespace {

// Files larger than this are not INI files anyone wrote by hand; only their
// beginning is read, so that a wrong file cannot exhaust memory.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

bool SameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

TIniFile::TIniFile(const QString& fileName) : fileName_(fileName)
{
    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly))
        Parse(file.read(MaxFileSize));
}

void TIniFile::Parse(const QByteArray& content)
{
    Section* current = nullptr;
    for (const QByteArray& rawLine : content.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            const int close = line.lastIndexOf(']');
            if (close < 0)
                continue;
            // A section that appears twice continues its first appearance.
            current = &SectionFor(line.mid(1, close - 1).trimmed());
            continue;
        }
        const int equals = line.indexOf('=');
        if (!current || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!FindEntry(current->name, key))
            current->entries.push_back({key, line.mid(equals + 1).trimmed()});
    }
}

const TIniFile::Section* TIniFile::FindSection(const QString& name) const
{
    for (const auto& s : sections_)
        if (SameName(s.name, name))
            return &s;
    return nullptr;
}

TIniFile::Section& TIniFile::SectionFor(const QString& name)
{
    if (const Section* s = FindSection(name))
        return const_cast<Section&>(*s);
    sections_.push_back({name, {}});
    return sections_.back();
}

const TIniFile::Entry* TIniFile::FindEntry(const QString& section, const QString& key) const
{
    if (const Section* s = FindSection(section))
        for (const auto& e : s->entries)
            if (SameName(e.key, key))
                return &e;
    return nullptr;
}

QStringList TIniFile::Sections() const
{
    QStringList names;
    for (const auto& s : sections_)
        names.append(s.name);
    return names;
}

bool TIniFile::SectionExists(const QString& section) const
{
    return FindSection(section) != nullptr;
}

QStringList TIniFile::Keys(const QString& section) const
{
    QStringList keys;
    if (const Section* s = FindSection(section))
        for (const auto& e : s->entries)
            keys.append(e.key);
    return keys;
}

bool TIniFile::ValueExists(const QString& section, const QString& key) const
{
    return FindEntry(section, key) != nullptr;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) const
{
    const Entry* e = FindEntry(section, key);
    return e ? e->value : defaultValue;
}

bool TIniFile::ParseInteger(const QString& text, int& value)
{
    const QString t = text.trimmed();
    bool ok = false;
    qint64 v = 0;
    // Hexadecimal texts up to $FFFFFFFF stand for the 32-bit pattern.
    if (t.startsWith('$') || t.startsWith("0x", Qt::CaseInsensitive)) {
        const QString digits = t.mid(t.startsWith('$') ? 1 : 2);
        if (digits.isEmpty() || !digits[0].isLetterOrNumber())
            return false;
        v = digits.toLongLong(&ok, 16);
        if (!ok || v > 0xFFFFFFFFLL)
            return false;
        value = static_cast<int>(static_cast<uint32_t>(v));
        return true;
    }
    v = t.toLongLong(&ok, 10);
    if (!ok || v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min())
        return false;
    value = static_cast<int>(v);
    return true;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const
{
    int value = 0;
    const Entry* e = FindEntry(section, key);
    return e && ParseInteger(e->value, value) ? value : defaultValue;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool defaultValue) const
{
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    // A line break would split the entry when the file is read again.
    QString clean = value;
    clean.replace('\r', ' ').replace('\n', ' ');
    if (const Entry* e = FindEntry(section, key)) {
        const_cast<Entry*>(e)->value = clean;
        return;
    }
    SectionFor(section).entries.push_back({key, clean});
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value)
{
    WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const QString& section)
{
    std::erase_if(sections_, [&](const Section& s) { return SameName(s.name, section); });
}

bool TIniFile::UpdateFile(QString* error) const
{
    QByteArray content;
    for (const auto& s : sections_) {
        content += '[' + s.name.toUtf8() + "]\n";
        for (const auto& e : s.entries)
            content += e.key.toUtf8() + '=' + e.value.toUtf8() + '\n';
        content += '\n';
    }
    QSaveFile file(fileName_);
    if (file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}
