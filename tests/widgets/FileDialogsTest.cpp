#include "FileDialogs.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

// Qt remembers the folder a file dialog last visited. Where that is /proc,
// guessing the listed files' types from their content blocks for ever on
// /proc/kmsg (readable by root); the dialog must leave the event loop free.
TEST(FileDialogs, ARememberedFolderOfDeviceFilesDoesNotBlockTheEventLoop)
{
    // Each test process has a settings folder of its own.
    QFile settings(qEnvironmentVariable("XDG_CONFIG_HOME") + "/QtProject.conf");
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[FileDialog]\nlastVisited=file:///proc\n");
    settings.close();

    const std::unique_ptr<QFileDialog> dialog(NewFileDialog(nullptr, "Log File", QDir::homePath()));
    EXPECT_EQ(dialog->directory().absolutePath(), QDir::homePath());
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 50; }, 20000));
    settings.remove();
}
