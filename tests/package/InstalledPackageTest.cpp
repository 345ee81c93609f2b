// The package as a technician gets it: unpacked into a scratch root, each
// program answers --help there and its man page names every switch of that
// help; the utility, started from there offscreen by a user with a fresh
// home, polls the simulator and keeps its settings and log in that user's
// folders, writing nothing beside itself.

#include "CoreApp.h"
#include "SimProcess.h"
#include "TestFiles.h"
#include "WaitFor.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

// The user the utility runs as when the test runs as root: root may write
// anywhere, so it would not show that the utility keeps away from its own
// folder.
constexpr const char* Nobody = "65534";

QString RunProgram(const QString& program, const QStringList& arguments, int* exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(60000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAll());
}

QStringList FilesUnder(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

class InstalledPackage : public testing::Test {
protected:
    void SetUp() override
    {
        EnsureCoreApp();
        deb_ = qEnvironmentVariable("KELVANE_DEB");
        if (deb_.isEmpty())
            GTEST_SKIP() << "KELVANE_DEB names no package; bash scripts/package.sh builds one";
        ASSERT_TRUE(QFileInfo(deb_).isFile()) << deb_.toStdString();
        ASSERT_TRUE(root_.isValid());
        int status = 0;
        const QString output = RunProgram("dpkg-deb", {"-x", deb_, root_.path()}, &status);
        ASSERT_EQ(status, 0) << output.toStdString();
        // Every user may read the unpacked tree, as under /usr.
        QFile::setPermissions(root_.path(), QFile::permissions(root_.path()) | QFile::ReadOther | QFile::ExeOther);
    }

    QString Program(const QString& name) const { return root_.filePath("usr/bin/" + name); }

    QString deb_;
    QTemporaryDir root_;
};

} // namespace

TEST_F(InstalledPackage, EachProgramHelpsAndItsManPageNamesEverySwitch)
{
    for (const char* name : {"kelvane", "kelvane-log", "kelvane-sim"}) {
        SCOPED_TRACE(name);
        QProcess help;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        help.setProcessEnvironment(env);
        help.start(Program(name), {"--help"});
        ASSERT_TRUE(help.waitForFinished(30000));
        const QString text = QString::fromUtf8(help.readAllStandardOutput());
        EXPECT_EQ(help.exitCode(), 0) << QString::fromUtf8(help.readAllStandardError()).toStdString();
        // Qt's help names the program as it was started, here by its path.
        EXPECT_TRUE(QRegularExpression(QString(R"(^Usage: (\S*/)?%1 )").arg(name)).match(text).hasMatch())
            << text.toStdString();

        const QString page = RunProgram("gzip", {"-dc", root_.filePath(QString("usr/share/man/man1/%1.1.gz").arg(name))});
        // groff writes a minus as \- in a man page.
        const QString plain = QString(page).replace("\\-", "-");
        QStringList switches;
        for (const auto& match : QRegularExpression(R"((?<![\w-])(--[a-z][a-z-]*|/[A-Z]{2,}=))").globalMatch(text))
            switches << match.captured(1);
        switches.removeDuplicates();
        ASSERT_FALSE(switches.isEmpty()) << text.toStdString();
        for (const QString& option : switches)
            EXPECT_TRUE(plain.contains(option)) << option.toStdString() << " is in --help, not in the man page";
    }
}

TEST_F(InstalledPackage, ShipsTheGrafanaDashboardAsTheSourceHoldsIt)
{
    EXPECT_EQ(FileBytes(root_.filePath("usr/share/kelvane/grafana/kelvane-site.json")),
              FileBytes(KELVANE_GRAFANA_DASHBOARD));
}

TEST_F(InstalledPackage, TheUtilityKeepsItsFilesInTheUsersFolders)
{
    TSimProcess meter(Program("kelvane-sim"), {"--port", "0"});
    ASSERT_NE(meter.Port(), 0);

    QTemporaryDir home;
    const QDir user(home.path());
    // The user's own settings switch logging on at once; that they are read
    // shows where the utility looks for them.
    ASSERT_TRUE(user.mkpath(".config/kelvane"));
    const QString settings = user.filePath(".config/kelvane/kelvane.ini");
    ASSERT_TRUE(WriteFile(settings, "[Logging]\nEnabled=1\nFrequency=1\nParam8=1\nParam10=1\n"));
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(QProcess::execute("chown", {"-R", QString("%1:%1").arg(Nobody), home.path()}), 0);
    }
    const QStringList installed = FilesUnder(root_.path());

    QProcess utility;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* variable : {"KELVANE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "DISPLAY"})
        env.remove(variable);
    env.insert("HOME", home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    utility.setProcessEnvironment(env);
    utility.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList link{"/MODE=TCP", "/IP=127.0.0.1", QString("/TCPPORT=%1").arg(meter.Port())};
    if (asRoot) {
        utility.start("setpriv", QStringList{"--reuid", Nobody, "--regid", Nobody, "--clear-groups", "--",
                                             Program("kelvane")} + link);
    } else {
        utility.start(Program("kelvane"), link);
    }
    ASSERT_TRUE(utility.waitForStarted(10000));

    // Each meter logs to a file of its own beside the one named: this one is
    // not in a meter list, so its file names its address.
    const QString log = user.filePath(".local/share/kelvane/log-address-1.csv");
    const bool logged = WaitFor([&] { return Lines(log).size() >= 2; }, 60s);
    ::kill(pid_t(utility.processId()), SIGTERM);
    const bool ended = utility.waitForFinished(20000);
    const std::string output = utility.readAll().toStdString();
    ASSERT_TRUE(logged) << "no records in " << log.toStdString() << "\n" << output;
    ASSERT_TRUE(ended) << output;
    EXPECT_EQ(utility.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(utility.exitCode(), 0) << output;

    // The record holds the meter's answers: a frequency and a voltage
    // after the date and time.
    const QStringList lines = Lines(log);
    EXPECT_EQ(lines.front(), "Date,Time,Frequency,Voltage A-N");
    EXPECT_TRUE(QRegularExpression(R"(^[^,]+,[^,]+,\d+\.\d+,\d+\.\d+$)").match(lines.back()).hasMatch())
        << lines.back().toStdString();
    // The close saved the link of this run beside the user's logging keys.
    const QString saved = QString::fromUtf8(FileBytes(settings));
    EXPECT_TRUE(saved.contains("IP Address=127.0.0.1")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("Enabled=1")) << saved.toStdString();
    EXPECT_EQ(FilesUnder(root_.path()), installed) << "the utility wrote beside itself";
}
