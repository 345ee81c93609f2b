#pragma once

// Readings and meters for the tests of the MQTT output.

#include "MeterReading.h"

#include <QDateTime>

#include <initializer_list>
#include <utility>

inline TSiteMeterId SiteMeter(const QString& name, uint8_t address)
{
    return {name, "tcp:127.0.0.1:502", address};
}

// A pass of meter that brought the given quantities (index, value), or none
// when it did not answer.
inline TMeterReading Reading(const TSiteMeterId& meter, std::initializer_list<std::pair<std::size_t, double>> values,
                             const QDateTime& time = QDateTime::currentDateTimeUtc())
{
    TMeterReading reading;
    reading.Meter = meter;
    reading.Time = time;
    reading.Answered = values.size() > 0;
    for (const auto& [index, value] : values)
        reading.Values[index] = value;
    return reading;
}
