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

void ShowNotice(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (Handler()) {
        Handler()(parent, icon, title, text, QMessageBox::Ok);
        return;
    }
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler)
{
    return std::exchange(Handler(), std::move(handler));
}
