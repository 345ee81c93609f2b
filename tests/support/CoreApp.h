#pragma once

#include <QCoreApplication>

// The meter link's waits turn the event loop, and the worker's results
// arrive as posted events, so a test that uses a link needs an application
// object. The first one made here lives until the process ends (the
// application keeps a pointer to it, so it is not a leak).
inline void EnsureCoreApp()
{
    static int argc = 1;
    static char name[] = "kelvane_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}
