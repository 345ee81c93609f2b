#pragma once

// Helpers for widget tests: catching the message boxes a test expects, and
// saving screenshots of windows for a reviewer to look at.

#include "MessageBoxes.h"

#include <QDir>
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

} // namespace testsupport

// Lets GoogleTest print Qt strings in its failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
