#pragma once

#include <QObject>

class QMenuBar;

// Lets the shortcuts of a window's menus act wherever the focus is in that
// window, except in a text field: there the editing keys belong to the edit
// (Ctrl+A selects all, Ctrl+X cuts, Ctrl+C and Ctrl+V copy and paste), so
// that typing a name can never end the program or change the polled
// address, and keys the edit has no use for still reach the menus. Elsewhere
// (the meter list claims Ctrl+A for itself) the keys of the window's enabled
// and visible menu entries are kept from its widgets, so the entry acts;
// other windows, such as the dialogs, keep their keys.
class TMenuShortcuts : public QObject {
public:
    // Watches the application's events for as long as menuBar lives.
    explicit TMenuShortcuts(QMenuBar& menuBar);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool IsMenuShortcut(const QKeySequence& key) const;

    QMenuBar& menuBar_;
};
