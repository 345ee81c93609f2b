#include "MenuShortcuts.h"

#include <QAbstractSpinBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QMenu>
#include <QMenuBar>

TMenuShortcuts::TMenuShortcuts(QMenuBar& menuBar) : QObject(&menuBar), menuBar_(menuBar)
{
    QCoreApplication::instance()->installEventFilter(this);
}

namespace {

// A widget in which the user types text, whose editing keys are its own.
bool IsTextField(const QObject* widget)
{
    return qobject_cast<const QLineEdit*>(widget) || qobject_cast<const QAbstractSpinBox*>(widget)
           || qobject_cast<const QTextEdit*>(widget) || qobject_cast<const QPlainTextEdit*>(widget);
}

} // namespace

// Before a key is looked up among the shortcuts, the focus widget and its
// parents are asked whether they want it themselves (the shortcut override).
// Outside a text field, for a key of a menu entry of this window, the
// question is answered "no" on their behalf.
bool TMenuShortcuts::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::ShortcutOverride || !watched->isWidgetType() || IsTextField(watched))
        return false;
    if (static_cast<QWidget*>(watched)->window() != menuBar_.window())
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (!IsMenuShortcut(QKeySequence(key->keyCombination())))
        return false;
    key->ignore();
    return true;
}

bool TMenuShortcuts::IsMenuShortcut(const QKeySequence& key) const
{
    for (const QAction* menuAction : menuBar_.actions()) {
        if (!menuAction->menu())
            continue;
        for (const QAction* action : menuAction->menu()->actions())
            if (action->isEnabled() && action->isVisible() && action->shortcut() == key)
                return true;
    }
    return false;
}
