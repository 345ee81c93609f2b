// main() of the widget tests: a QApplication on the offscreen platform, and a
// message-box handler that fails the running test, since no test may wait
// for a click on a box it did not ask for.

#include "MessageBoxes.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    SetMessageBoxHandler([](QWidget*, QMessageBox::Icon, const QString& title, const QString& text,
                            QMessageBox::StandardButtons) {
        ADD_FAILURE() << "unexpected message box \"" << title.toStdString() << "\": " << text.toStdString();
        return QMessageBox::Cancel;
    });
    return RUN_ALL_TESTS();
}
