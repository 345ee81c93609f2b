#include "IniFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

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
