#pragma once

#include <QObject>

class QMenuBar;

// Lets the shortcuts of a window's menus act wherever the focus is in that
// window. An edit claims some standard keys for itself before shortcuts are
// looked up (Ctrl+A selects all, Ctrl+X cuts), which would hide the menu
// entries "Device &Address" and "E&xit" while an edit has the focus. Keys of
// the window's enabled and visible menu entries are kept from its widgets, so
// the entry acts; other windows, such as the dialogs, keep their keys.
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
