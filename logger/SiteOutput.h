#pragma once

#include "MeterReading.h"

#include <chrono>

// Where a site's readings go: the meters' CSV files, an MQTT broker, the
// Prometheus endpoint, InfluxDB. The logger calls an output in its main
// thread, which runs the Qt event loop; an output never blocks it for long
// and never ends the run: a system that goes away costs what the output's
// bound cannot keep, which it counts and says.
class TSiteOutput {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~TSiteOutput() = default;

    // After each pass of each meter.
    virtual void Publish(const TMeterReading& reading) = 0;
    // At the end of the run (SIGTERM): sends what it holds until the
    // deadline, then says what it dropped.
    virtual void Finish(Clock::time_point deadline) = 0;
};
