#pragma once

// Helpers for widget tests: catching the message boxes a test expects,
// answering file dialogs, and saving screenshots of windows for a reviewer
// to look at.

#include "MessageBoxes.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <ostream>

#include <string>
#include <vector>

namespace testsupport {

struct ShownMessageBox {
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
};

// While alive, records every message box and answers it with `answer`.
class MessageBoxRecorder {
public:
    explicit MessageBoxRecorder(QMessageBox::StandardButton answer = QMessageBox::Ok)
    {
        previous_ = SetMessageBoxHandler([this, answer](QWidget*, QMessageBox::Icon icon, const QString& title,
                                                        const QString& text, QMessageBox::StandardButtons buttons) {
            shown.push_back({icon, title, text, buttons});
            return answer;
        });
    }
    ~MessageBoxRecorder() { SetMessageBoxHandler(previous_); }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    std::vector<ShownMessageBox> shown;

private:
    TMessageBoxHandler previous_;
};

// Saves what the widget shows as screenshots/<name>.png in the build tree.
inline bool SaveScreenshot(QWidget& widget, const QString& name)
{
    QDir().mkpath(KELVANE_SCREENSHOT_DIR);
    return widget.grab().save(QString(KELVANE_SCREENSHOT_DIR) + "/" + name + ".png");
}

// While alive, answers the file dialog that owner opens with path (its
// folder and name), as a user typing the name and pressing Return. A dialog
// still open after a generous deadline is cancelled, so that no test hangs.
class TFileDialogAnswer {
public:
    TFileDialogAnswer(QWidget& owner, const QString& path)
    {
        QObject::connect(&watch_, &QTimer::timeout, [this, &owner, path] {
            auto* dialog = owner.findChild<QFileDialog*>();
            auto* name = dialog ? dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
            if (!name || !dialog->isVisible())
                return;
            watch_.stop();
            dialog->setDirectory(QFileInfo(path).absolutePath());
            name->setText(QFileInfo(path).fileName());
            QTest::keyClick(name, Qt::Key_Return);
            answered = true;
        });
        watch_.start(20);
        deadline_.setSingleShot(true);
        QObject::connect(&deadline_, &QTimer::timeout, [&owner] {
            if (auto* dialog = owner.findChild<QFileDialog*>())
                dialog->reject();
        });
        deadline_.start(20000);
    }

    bool answered = false;

private:
    QTimer watch_;
    QTimer deadline_;
};

} // namespace testsupport

// Lets GoogleTest print Qt strings in its failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
