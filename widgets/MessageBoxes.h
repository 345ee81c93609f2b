#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

// Every message box of the utility goes through ShowMessageBox, so that one
// place decides how boxes appear. Tests replace the handler to see and answer
// boxes without blocking in a modal loop.
using TMessageBoxHandler = std::function<QMessageBox::StandardButton(
    QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
    QMessageBox::StandardButtons buttons)>;

QMessageBox::StandardButton ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                           const QString& text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// A box that does not wait for its answer: the program goes on (polls,
// logs) while it shows, and it closes itself when dismissed; the caller may
// close it earlier. Tests see it through the same handler, and then there
// is no box: nullptr.
QMessageBox* ShowNotice(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

// Installs handler and returns the one it replaces; an empty handler brings
// back the modal QMessageBox.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);
