#pragma once

#include <QString>

class QFileDialog;
class QWidget;

// File dialogs that list folders without reading the files in them.
//
// Qt's own dialog opens in the folder it last visited, remembered in the
// user's settings, and guesses each listed file's type from its first bytes.
// A read from a device or kernel file there (/proc/kmsg, a tty) never
// returns, and the utility would hang; Qt's static helpers
// (getSaveFileName and the like) do the same. These dialogs start in the
// folder they are given (the home folder when it is empty) and judge file
// types by name.
QFileDialog* NewFileDialog(QWidget* parent, const QString& caption, const QString& directory);

// The file or folder the user chose, or an empty text when the dialog was
// cancelled. `filter` takes Qt's form: "CSV files (*.csv);;All files (*)".
QString SaveFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter);
QString OpenFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter);
QString ExistingDirectory(QWidget* parent, const QString& caption, const QString& directory);
