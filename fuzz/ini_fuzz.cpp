// Reads arbitrary bytes as an INI file. Reading never fails, so every input
// is an accepted outcome; a crash, a sanitizer report or a broken promise of
// the reader is a finding:
//   - every section it lists is found by its name, in any letter case, and
//     no two listed names are the same name;
//   - every key it lists is found with the value it lists;
//   - the file it writes reads back as the same sections, keys and values.

#include "IniFile.h"

#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

// Where the input goes, and the file written from it: this process's own,
// in memory, where the sync of a written file costs nothing.
QString ScratchFile()
{
    return QString("/dev/shm/kelvane-ini-fuzz-%1.ini").arg(::getpid());
}

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

struct TContent {
    QStringList Sections;
    std::vector<QStringList> Keys;
    std::vector<QStringList> Values;
};

TContent ContentOf(const TIniFile& ini)
{
    TContent content{ini.Sections(), {}, {}};
    for (const QString& section : content.Sections) {
        content.Keys.push_back(ini.Keys(section));
        QStringList values;
        for (const QString& key : content.Keys.back())
            values << ini.ReadString(section, key, "\x01missing");
        content.Values.push_back(values);
    }
    return content;
}

void CheckLookups(const TIniFile& ini, const TContent& content)
{
    for (qsizetype i = 0; i < content.Sections.size(); ++i) {
        const QString& name = content.Sections[i];
        Require(ini.SectionExists(name) && ini.SectionExists(name.toCaseFolded()));
        for (qsizetype j = 0; j < i; ++j)
            Require(name.compare(content.Sections[j], Qt::CaseInsensitive) != 0);
        for (qsizetype k = 0; k < content.Keys[std::size_t(i)].size(); ++k) {
            const QString& key = content.Keys[std::size_t(i)][k];
            Require(ini.ValueExists(name.toCaseFolded(), key.toCaseFolded()));
            Require(content.Values[std::size_t(i)][k] != "\x01missing");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString input = ScratchFile();
    {
        QFile file(input);
        Require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        Require(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    TIniFile ini(input);
    const TContent content = ContentOf(ini);
    CheckLookups(ini, content);

    // Written over the input, which has served.
    Require(ini.UpdateFile());
    const TContent reread = ContentOf(TIniFile(input));
    Require(reread.Sections == content.Sections && reread.Keys == content.Keys && reread.Values == content.Values);
    return 0;
}
