#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

using namespace Qt::StringLiterals;

// Lets GoogleTest print Qt strings in its failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

QString WriteFile(const QTemporaryDir& dir, const QByteArray& content, const QString& name = "test.ini")
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(content);
    return path;
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

} // namespace

TEST(IniFile, SectionsAndKeysInFileOrderWithoutRegardToCase)
{
    QTemporaryDir dir;
    TIniFile ini(WriteFile(dir, "[Zeta]\nb=2\na=1\n[~~INFO~~]\nName=Page\n[alpha]\r\nIP Address = 10.0.0.5 \r\n"
                                "; a comment\nnot a key line\n[zeta]\nc=3\nb=ignored\n[V A-N [V]]\nx=1\n"));
    EXPECT_EQ(ini.Sections(), (QStringList{"Zeta", "~~INFO~~", "alpha", "V A-N [V]"}));
    EXPECT_EQ(ini.Keys("ZETA"), (QStringList{"b", "a", "c"}));
    EXPECT_EQ(ini.ReadString("ALPHA", "ip address", ""), "10.0.0.5");
    EXPECT_EQ(ini.ReadString("zeta", "B", ""), "2");
    EXPECT_EQ(ini.ReadString("~~info~~", "name", ""), "Page");
    EXPECT_EQ(ini.ReadString("zeta", "missing", "dflt"), "dflt");
    EXPECT_FALSE(ini.SectionExists("beta"));
}

// A file is read as UTF-8 when all of it is valid UTF-8 (a byte-order mark is
// dropped), otherwise all of it as Windows-1252, the code page older
// installations wrote. Whatever was read is written back as UTF-8 and reads
// the same again.
TEST(IniFile, EachFileIsReadAsUtf8OrAsWindows1252)
{
    struct Row {
        const char* what;
        QByteArray content;
        QString section;
        QString name;
    };
    const Row rows[] = {
        {"UTF-8", "[Temp \xC2\xB0" "C]\nName=\xE2\x82\xAC 5 \xF0\x9D\x84\x9E\n", u"Temp \u00B0C"_s,
         u"\u20AC 5 \U0001D11E"_s},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF[Temp \xC2\xB0" "C]\r\nName=x\r\n", u"Temp \u00B0C"_s, "x"},
        {"Windows-1252", "[Temp \xB0" "C]\nName=\x80 5 \xE9\x9F\n", u"Temp \u00B0C"_s, u"\u20AC 5 \u00E9\u0178"_s},
        {"Windows-1252, bytes it leaves undefined", "[x]\nName=\x81\x8D\x8F\x90\x9D\n", "x",
         u"\u0081\u008D\u008F\u0090\u009D"_s},
        {"a UTF-8 file with one ANSI byte", "[Temp \xC2\xB0" "C]\nName=\xB0\n", u"Temp \u00C2\u00B0C"_s, u"\u00B0"_s},
        {"an encoded surrogate is not UTF-8", "[x]\nName=\xED\xA0\x80\n", "x", u"\u00ED\u00A0\u20AC"_s},
        {"an overlong form is not UTF-8", "[x]\nName=\xC0\xAF\n", "x", u"\u00C0\u00AF"_s},
    };
    QTemporaryDir dir;
    for (const auto& r : rows) {
        const QString path = WriteFile(dir, r.content);
        for (int pass = 0; pass < 2; ++pass) {
            const TIniFile ini(path);
            EXPECT_EQ(ini.Sections(), QStringList{r.section}) << r.what << ", pass " << pass;
            EXPECT_EQ(ini.ReadString(r.section, "Name", ""), r.name) << r.what << ", pass " << pass;
            ASSERT_TRUE(ini.UpdateFile()) << r.what;
        }
        EXPECT_TRUE(QString::fromUtf8(ReadFile(path)).toUtf8() == ReadFile(path)) << r.what << ": written as UTF-8";
    }
}

// Only the beginning of an oversized file is read, up to its last whole line,
// so the cut cannot split a character and turn a UTF-8 file into an ANSI one.
TEST(IniFile, AnOversizedFileIsCutAtALineEnd)
{
    QByteArray content = "[Temp \xC2\xB0" "C]\nName=\xC2\xB0\n[Fill]\nf=";
    const qsizetype limit = 16 * 1024 * 1024;
    if ((limit - content.size()) % 2 == 0)
        content.insert(content.size() - 1, 'x'); // a two-byte character straddles the limit
    content += QByteArray("\xC2\xB0").repeated((limit - content.size()) / 2 + 10) + "\n[Last]\nk=1\n";
    QTemporaryDir dir;
    const TIniFile ini(WriteFile(dir, content));
    EXPECT_EQ(ini.Sections(), (QStringList{u"Temp \u00B0C"_s, "Fill"}));
    EXPECT_EQ(ini.ReadString(u"Temp \u00B0C"_s, "Name", ""), u"\u00B0"_s);
    EXPECT_FALSE(ini.ValueExists("Fill", "fx"));
    EXPECT_FALSE(ini.ValueExists("Fill", "f"));
}

// A large file loads whole, in file order, with names matched without regard
// to case and the first of two equal keys kept.
TEST(IniFile, LargeFileKeepsOrderCaseAndDuplicates)
{
    constexpr int Sections = 20000;
    constexpr int KeysEach = 10;
    QByteArray content;
    for (int i = 0; i < Sections; ++i) {
        content += "[Field " + QByteArray::number(i) + "]\n";
        for (int k = 0; k < KeysEach; ++k)
            content += "Key" + QByteArray::number(k) + '=' + QByteArray::number(i) + '.' + QByteArray::number(k) + '\n';
    }
    for (int i = 0; i < Sections; ++i) // every section again, in other case
        content += "[FIELD " + QByteArray::number(i) + "]\nkey0=again\nExtra=" + QByteArray::number(i) + '\n';
    QTemporaryDir dir;
    const TIniFile ini(WriteFile(dir, content));
    const QStringList sections = ini.Sections();
    ASSERT_EQ(sections.size(), Sections);
    for (int i : {0, 1, 9999, Sections - 1})
        EXPECT_EQ(sections[i], "Field " + QString::number(i));
    EXPECT_EQ(ini.Keys("field 19999"),
              (QStringList{"Key0", "Key1", "Key2", "Key3", "Key4", "Key5", "Key6", "Key7", "Key8", "Key9", "Extra"}));
    EXPECT_EQ(ini.ReadString("FIELD 12345", "KEY7", ""), "12345.7");
    EXPECT_EQ(ini.ReadString("field 5", "Key0", ""), "5.0");
    EXPECT_EQ(ini.ReadInteger("Field 17", "extra", -1), 17);
}

TEST(IniFile, Integers)
{
    QTemporaryDir dir;
    TIniFile ini(WriteFile(dir, "[s]\ndec=42\nneg=-7\nhex1=$1A\nhex2=0x300\nbad=12abc\nempty=\n"
                                "big=3000000000\nall=$FFFFFFFF\nfloat=1.5\nbare=$\n"));
    const std::pair<const char*, int> rows[] = {
        {"dec", 42}, {"neg", -7}, {"hex1", 26}, {"hex2", 768}, {"bad", -1}, {"empty", -1},
        {"big", -1}, {"all", -1}, {"float", -1}, {"bare", -1}, {"missing", -1},
    };
    for (const auto& [key, expected] : rows)
        EXPECT_EQ(ini.ReadInteger("s", key, -1), expected) << key;
    EXPECT_EQ(ini.ReadInteger("s", "all", 0), -1); // the 32-bit pattern
    EXPECT_TRUE(ini.ReadBool("s", "dec", false));
    EXPECT_FALSE(ini.ReadBool("s", "bad", false));
}

TEST(IniFile, DamagedEmptyAndMissingFiles)
{
    QTemporaryDir dir;
    QByteArray binary;
    for (int i = 0; i < 5000; ++i)
        binary += static_cast<char>((i * 37) & 0xFF);
    for (const QByteArray& content : {QByteArray(), binary, QByteArray("[unclosed\nkey=1\n=novalue\n[]\nx=y")}) {
        TIniFile ini(WriteFile(dir, content));
        for (const auto& s : ini.Sections())
            ini.Keys(s);
        EXPECT_FALSE(ini.ValueExists("unclosed", "key"));
    }
    TIniFile missing(dir.filePath("nope.ini"));
    EXPECT_TRUE(missing.Sections().isEmpty());
}

TEST(IniFile, WritesKeepOrderAndReplaceTheFileWhole)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "[Form]\nPort=COM1\nBaud=0\n[Logging]\nEnabled=0\n");
    TIniFile ini(path);
    ini.WriteString("FORM", "port", "/dev/ttyUSB0");
    ini.WriteString("Form", "IP Address", "192.168.1.10");
    ini.WriteBool("Logging", "Enabled", true);
    ini.WriteInteger("Meter 2", "Address", 7);
    ini.WriteString("Form", "Evil", "a\nb");
    ASSERT_TRUE(ini.UpdateFile());
    EXPECT_EQ(ReadFile(path), "[Form]\nPort=/dev/ttyUSB0\nBaud=0\nIP Address=192.168.1.10\nEvil=a b\n\n"
                              "[Logging]\nEnabled=1\n\n[Meter 2]\nAddress=7\n\n");
    ini.EraseSection("meter 2");
    ASSERT_TRUE(ini.UpdateFile());
    EXPECT_FALSE(TIniFile(path).SectionExists("Meter 2"));
    // Erased and written again, a section is a new one at the end.
    ini.EraseSection("FORM");
    ini.WriteInteger("form", "Address", 9);
    EXPECT_EQ(ini.Sections(), (QStringList{"Logging", "form"}));
    EXPECT_EQ(ini.Keys("Form"), QStringList{"Address"});
    EXPECT_EQ(ini.ReadString("Form", "port", "gone"), "gone");
}

TEST(IniFile, AFailedWriteLeavesTheOldFile)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "[Form]\nPort=COM1\n");
    TIniFile ini(path);
    ini.WriteString("Form", "Port", QString(64 * 1024, 'x'));
    // A file size limit stands in for a full disk: the write fails midway.
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 4096;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    QString error;
    const bool written = ini.UpdateFile(&error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(ReadFile(path), "[Form]\nPort=COM1\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"test.ini"}); // no temporary left
}
