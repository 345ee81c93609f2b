// main() of the widget tests: an application object on the offscreen
// platform, and a message-box handler that fails the running test, since no
// test may wait for a click on a box it did not ask for. A test target may
// name its own application class in KELVANE_TEST_APPLICATION_HEADER and
// KELVANE_TEST_APPLICATION.
//
// Qt keeps what the file dialogs last visited in the user's configuration
// folder; each test process gets a folder of its own, so that no test starts
// from where another left a dialog, nor changes the user's own settings.

#include "MessageBoxes.h"

#ifdef KELVANE_TEST_APPLICATION_HEADER
#include KELVANE_TEST_APPLICATION_HEADER
#else
#include <QApplication>
#define KELVANE_TEST_APPLICATION QApplication
#endif

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const QTemporaryDir config;
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    KELVANE_TEST_APPLICATION app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    SetMessageBoxHandler([](QWidget*, QMessageBox::Icon, const QString& title, const QString& text,
                            QMessageBox::StandardButtons) {
        ADD_FAILURE() << "unexpected message box \"" << title.toStdString() << "\": " << text.toStdString();
        return QMessageBox::Cancel;
    });
    return RUN_ALL_TESTS();
}
