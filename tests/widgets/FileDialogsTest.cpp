#include "FileDialogs.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

// Qt remembers the folder a file dialog last visited. Where that is /proc,
// guessing the listed files' types from their content blocks for ever on
// /proc/kmsg (readable by root); the dialogs must leave the event loop free.
class FileDialogs : public testing::Test {
protected:
    void SetUp() override
    {
        // Each test process has a settings folder of its own.
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        settings.write("[FileDialog]\nlastVisited=file:///proc\n");
        settings.close();
    }
    void TearDown() override { settings.remove(); }

    QFile settings{qEnvironmentVariable("XDG_CONFIG_HOME") + "/QtProject.conf"};
};

TEST_F(FileDialogs, ADialogMadeAheadStartsWhereToldAndKeepsTheEventLoopFree)
{
    const std::unique_ptr<QFileDialog> dialog(NewFileDialog(nullptr, "Log File", QDir::homePath()));
    EXPECT_EQ(dialog->directory().absolutePath(), QDir::homePath());
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 50; }, 20000));
}

TEST_F(FileDialogs, ChoosingAFileToSaveAnswersWithItsPath)
{
    QTemporaryDir folder;
    QWidget owner;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* dialog = owner.findChild<QFileDialog*>();
        auto* name = dialog ? dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
        if (!name || !dialog->isVisible())
            return;
        answer.stop();
        name->setText("trace.txt");
        QTest::keyClick(name, Qt::Key_Return);
    });
    answer.start(20);
    QTimer::singleShot(30000, &owner, [&owner] {
        if (auto* dialog = owner.findChild<QFileDialog*>())
            dialog->reject();
    });
    EXPECT_EQ(SaveFileName(&owner, "Save Trace", folder.path(), "Text files (*.txt)"), folder.filePath("trace.txt"));
    EXPECT_EQ(owner.findChild<QFileDialog*>(), nullptr) << "the dialog goes once answered";
}
