#pragma once

class QFileDialog;
class QString;
class QWidget;

// A file dialog that lists folders without reading the files in them.
//
// Qt's own dialog opens in the folder it last visited, remembered in the
// user's settings, and guesses each listed file's type from its first bytes.
// A read from a device or kernel file there (/proc/kmsg, a tty) never
// returns, and the window that owns the dialog would hang before it is even
// shown. This one starts in `directory` and judges file types by name.
QFileDialog* NewFileDialog(QWidget* parent, const QString& caption, const QString& directory);
