#pragma once

#include <QString>
#include <QStringList>

// The command line of the utility: switches of the form /KEY or /KEY=value,
// matched without regard to case. Each function takes the arguments after
// the program name; the default is the running program's own.

// The running program's arguments without the program name.
QStringList CmdLineArguments();

// True when at least one argument begins with key (compared upper-cased).
bool CmdLineSwitch(const QString& key, const QStringList& arguments = CmdLineArguments());

// The text after the first "=" of the last argument whose name (the part
// before that "=") contains key, compared upper-cased; the value keeps the
// case it was typed in. An argument without "=" never matches, and with no
// match the value is "".
QString CmdLineValue(const QString& key, const QStringList& arguments = CmdLineArguments());
