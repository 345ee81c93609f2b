#include "IniFile.h"
#include "ScriptedServer.h"
#include "TestFiles.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/inotify.h>

// The utility as a process reads its settings once it catches the stop
// signals and before any event loop runs: a SIGTERM sent then is taken up
// by the first loop, a start-up box's where one opens. The run ends, and
// the technician's meters and settings are still there.
TEST(StopAtStart, AStopWhileTheWindowStartsEndsTheRunAndKeepsTheFiles)
{
    const QString links[] = {QString("/MODE=TCP /IP=127.0.0.1 /TCPPORT=%1 /POLLING=x").arg(testsupport::UnusedPort()),
                             "/MODE=RTU /PORT=/dev/kelvane-test-no-such-port"};
    for (const QString& link : links) {
        SCOPED_TRACE(link.toStdString());
        QTemporaryDir dir;
        const QString settings = dir.filePath("kelvane.ini"), meters = dir.filePath("Meters.ini");
        ASSERT_TRUE(WriteFile(settings, "[Form]\nCaption=Site 7\n"));
        ASSERT_TRUE(WriteFile(meters, "[Feeder A]\nAddress=4\n[Feeder B]\nAddress=9\n"));
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, settings.toLocal8Bit().constData(), IN_OPEN), 0);
        QProcess utility;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELVANE_HOME", dir.path());
        utility.setProcessEnvironment(env);
        utility.start(KELVANE_EXE, link.split(' '));
        pollfd opened{watch, POLLIN, 0};
        ASSERT_EQ(::poll(&opened, 1, 30000), 1) << "the settings were never read";
        ::close(watch);
        ::kill(pid_t(utility.processId()), SIGTERM);
        EXPECT_TRUE(utility.waitForFinished(20000) && utility.exitStatus() == QProcess::NormalExit);
        const TIniFile list(meters), kept(settings);
        EXPECT_EQ(list.Sections(), QStringList({"Feeder A", "Feeder B"}));
        EXPECT_EQ(kept.ReadString("Form", "Caption", ""), "Site 7");
    }
}
