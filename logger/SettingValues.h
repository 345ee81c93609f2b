#pragma once

#include "BaudRate.h"
#include "LogFile.h"

#include <QString>

#include <chrono>
#include <optional>
#include <utility>

// The values that the logger takes from its switches and from a site file,
// checked the same way for both. A value out of range is refused with a
// message that starts with the label of where it came from ("--tries" or
// "site.ini, line 7: Tries").
struct TSettingRefusal {
    QString Message;
};

namespace SettingValues {

// A value or a line as a message shows it, in the quotes of the message:
// cut after MaxShownCharacters with "..." to show the cut, and its control
// characters written as \xHH, so that a refused line of any length or
// content gives a short message that a terminal shows as it is.
constexpr qsizetype MaxShownCharacters = 80;
QString Shown(const QString& text);

// The interval takes fractions of a second, so that a test can log fast; a
// day is the longest interval.
constexpr double MinIntervalSeconds = 0.1;
constexpr double MaxIntervalSeconds = 86400;

int Integer(const QString& label, const QString& text, int low, int high);
std::chrono::milliseconds Interval(const QString& label, const QString& text);
TBaudRate Baud(const QString& label, const QString& text);
// "all", or indices and ranges separated by commas: "0,8,16-18".
TLogSelection Params(const QString& label, const QString& text);
// "yes"/"no", "true"/"false", "on"/"off" or "1"/"0", without regard to case.
bool Flag(const QString& label, const QString& text);
// An IP address; names are not looked up, as a lookup could hold the logger
// for seconds.
QString Address(const QString& label, const QString& text);

// "ADDRESS", "ADDRESS:PORT", or "[ADDRESS]:PORT" for an IPv6 address, whose
// own colons would otherwise be taken for the port's.
std::pair<QString, std::optional<QString>> SplitHostPort(const QString& text);

} // namespace SettingValues
