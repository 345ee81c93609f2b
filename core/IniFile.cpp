#include "IniFile.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <limits>

namespace {

// Files larger than this are not INI files anyone wrote by hand; only their
// beginning is read, so that a wrong file cannot exhaust memory.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

// Windows-1252 from 0x80 to 0x9F; the rest of the code page is Latin-1. The
// five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// become the control characters of the same number, as Windows itself maps
// them, so no byte is lost and writing the text back as UTF-8 keeps it.
constexpr std::array<char16_t, 32> Windows1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

QString FromWindows1252(const QByteArray& bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = QChar(b >= 0x80 && b <= 0x9F ? Windows1252High[b - 0x80] : char16_t(b));
    }
    return text;
}

// The whole file is UTF-8 (a byte-order mark is dropped) if it is valid
// UTF-8, and Windows-1252 otherwise: one decision per file, since a file
// comes from one editor, and a Windows-1252 text with accented letters is
// almost never valid UTF-8 by chance.
QString DecodeFile(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8);
    QString text = utf8(bytes);
    return utf8.hasError() ? FromWindows1252(bytes) : text;
}

// The file's content, or the beginning of an oversized file up to its last
// whole line, so that the cut never splits a line or a character. A read
// asks for a buffer of the size it names: the file is read in pieces of the
// size it says it has (an empty file, or one of /proc, says 0), so that a
// small file asks for no large buffer.
QByteArray ReadContent(QFile& file)
{
    const qint64 piece = std::clamp<qint64>(file.size(), 4096, MaxFileSize);
    QByteArray content;
    while (content.size() < MaxFileSize) {
        const QByteArray more = file.read(std::min(piece, MaxFileSize - content.size()));
        if (more.isEmpty())
            break;
        content += more;
    }
    if (file.size() > MaxFileSize)
        content.truncate(content.lastIndexOf('\n') + 1);
    return content;
}

bool SameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

// FNV-1a over the case-folded code points, as QString::compare folds them
// without regard to case, so names that compare equal hash alike.
std::uint32_t TIniFile::NameIndex::Hash(QStringView name)
{
    std::uint32_t h = 2166136261U;
    const qsizetype size = name.size();
    for (qsizetype i = 0; i < size; ++i) {
        char32_t c = name[i].unicode();
        if (c < 0x80) {
            if (c >= 'A' && c <= 'Z')
                c += 'a' - 'A';
        } else if (QChar::isHighSurrogate(c) && i + 1 < size && name[i + 1].isLowSurrogate()) {
            c = QChar::toCaseFolded(QChar::surrogateToUcs4(name[i], name[i + 1]));
            ++i;
        } else {
            c = QChar::toCaseFolded(c);
        }
        h = (h ^ c) * 16777619U;
    }
    // The table takes the low bits: spread the high ones into them.
    return h ^ (h >> 15);
}

void TIniFile::NameIndex::Add(std::uint32_t hash, std::size_t position)
{
    if (2 * (used_ + 1) > slots_.size())
        Grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i] != 0)
        i = (i + 1) & mask;
    slots_[i] = std::uint64_t{hash} << 32 | (position + 1);
    ++used_;
}

void TIniFile::NameIndex::Grow()
{
    std::vector<std::uint64_t> old(std::max<std::size_t>(8, 2 * slots_.size()), 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint64_t slot : old) {
        if (slot == 0)
            continue;
        std::size_t i = (slot >> 32) & mask;
        while (slots_[i] != 0)
            i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

TIniFile::TIniFile(const QString& fileName) : fileName_(fileName)
{
    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly))
        Parse(DecodeFile(ReadContent(file)));
}

void TIniFile::Parse(QStringView text)
{
    Section* current = nullptr;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0)
            end = text.size();
        const QStringView line = text.sliced(start, end - start).trimmed();
        start = end + 1;
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.lastIndexOf(u']');
            if (close < 0)
                continue;
            // A section that appears twice continues its first appearance.
            current = &sections_[SectionFor(line.sliced(1, close - 1).trimmed().toString())];
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (!current || equals <= 0)
            continue;
        // Of two equal keys in a section the first counts.
        AddEntry(*current, line.first(equals).trimmed().toString(), line.sliced(equals + 1).trimmed().toString());
    }
}

const TIniFile::Section* TIniFile::FindSection(const QString& name) const
{
    const std::size_t at = sectionIndex_.Find(NameIndex::Hash(name), [&](std::size_t position) {
        return !sections_[position].erased && SameName(sections_[position].name, name);
    });
    return at == NameIndex::NotFound ? nullptr : &sections_[at];
}

const TIniFile::Entry* TIniFile::FindEntry(const QString& section, const QString& key) const
{
    const Section* s = FindSection(section);
    if (!s)
        return nullptr;
    const std::size_t at = s->keys.Find(NameIndex::Hash(key), [&](std::size_t position) {
        return SameName(s->entries[position].key, key);
    });
    return at == NameIndex::NotFound ? nullptr : &s->entries[at];
}

std::size_t TIniFile::SectionFor(const QString& name)
{
    if (const Section* s = FindSection(name))
        return static_cast<std::size_t>(s - sections_.data());
    sectionIndex_.Add(NameIndex::Hash(name), sections_.size());
    sections_.push_back({name, {}, {}});
    return sections_.size() - 1;
}

void TIniFile::AddEntry(Section& section, const QString& key, const QString& value)
{
    const std::uint32_t hash = NameIndex::Hash(key);
    const auto same = [&](std::size_t position) { return SameName(section.entries[position].key, key); };
    if (section.keys.Find(hash, same) != NameIndex::NotFound)
        return;
    section.keys.Add(hash, section.entries.size());
    section.entries.push_back({key, value});
}

QStringList TIniFile::Sections() const
{
    QStringList names;
    for (const auto& s : sections_)
        if (!s.erased)
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
    AddEntry(sections_[SectionFor(section)], key, clean);
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
    // The section stays in the index, where FindSection passes over it; a
    // section of that name written later is a new one, at the end.
    if (const Section* s = FindSection(section)) {
        Section& erased = sections_[static_cast<std::size_t>(s - sections_.data())];
        erased.erased = true;
        erased.entries.clear();
        erased.keys = {};
    }
}

bool TIniFile::UpdateFile(QString* error) const
{
    QByteArray content;
    for (const auto& s : sections_) {
        if (s.erased)
            continue;
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
