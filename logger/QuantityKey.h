#pragma once

#include "LogFile.h"

#include <QString>

#include <array>

// The name of a quantity outside the log file (MQTT, Prometheus, InfluxDB):
// its log caption in lower case with every run of characters other than
// letters and digits made one "_", trimmed of "_" at both ends.
// "Total Import Energy (+) A+B+C" -> "total_import_energy_a_b_c".
QString QuantityKey(const QString& caption);

// The keys of the 60 logged quantities, by index.
const std::array<QString, LogParameterCount>& QuantityKeys();
