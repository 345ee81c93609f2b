#pragma once

#include "MeterReading.h"

#include <QDateTime>
#include <QJsonObject>

#include <chrono>
#include <optional>
#include <vector>

// A meter of the site as the page keeps it: what the site file says of it,
// its latest reading, and since when it answers or not.
struct TPageMeter {
    TSiteMeterId Id;
    TLogSelection Selection{};
    std::chrono::milliseconds Interval{0};
    std::optional<TMeterReading> Latest; // none before its first pass
    QDateTime AnswerSince;               // UTC, the reading that changed Latest->Answered last
};

// The JSON of the page's data, as /api serves it and the page's live
// updates carry it. Each document has "now", the logger's clock when it was
// made, so that a reader on another clock can tell a reading's age.
namespace SitePageJson {

// {"now": ..., "meters": [<meter>, ...]} in the site file's order.
QJsonObject Site(const std::vector<TPageMeter>& meters);
// {"now": ..., "meter": <meter>}.
QJsonObject OneMeter(const TPageMeter& meter);
// A meter: name, link, address, interval, online and since when, the latest
// reading's time and values (null for a quantity the pass did not bring),
// its counts, its link's state, what the gateway's clients asked of it
// (null without the gateway) and its wiring checks.
QJsonObject Meter(const TPageMeter& meter);

} // namespace SitePageJson
