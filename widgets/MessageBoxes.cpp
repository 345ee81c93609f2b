#include "MessageBoxes.h"

namespace {

TMessageBoxHandler& Handler()
{
    static TMessageBoxHandler handler;
    return handler;
}

} // namespace

QMessageBox::StandardButton ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                           const QString& text, QMessageBox::StandardButtons buttons)
{
    if (Handler())
        return Handler()(parent, icon, title, text, buttons);
    QMessageBox box(icon, title, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler)
{
    return std::exchange(Handler(), std::move(handler));
}
