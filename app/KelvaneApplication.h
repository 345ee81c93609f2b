#pragma once

#include <QApplication>

// The application object. Qt must never see an exception leave an event
// handler, so every event goes through notify, which hands an escaping
// exception to the main window's handler and returns to the event loop.
class TKelvaneApplication : public QApplication {
public:
    TKelvaneApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
