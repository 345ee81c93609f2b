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

QMessageBox* ShowNotice(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (Handler()) {
        Handler()(parent, icon, title, text, QMessageBox::Ok);
        return nullptr;
    }
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    return box;
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler)
{
    return std::exchange(Handler(), std::move(handler));
}
