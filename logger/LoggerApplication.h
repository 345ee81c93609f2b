#pragma once

#include <QCoreApplication>

// kelvane-log's application object. Qt must never see an exception leave an
// event handler: one that escapes (an error of a link's exchange thread,
// handed over as an event) is said on stderr, and the run goes on with its
// other meters and links.
class TLoggerApplication : public QCoreApplication {
public:
    TLoggerApplication(int& argc, char** argv) : QCoreApplication(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override;
};
