#pragma once

#include <prometheus/metric_type.h>

#include <cstddef>
#include <string>
#include <vector>

// How the logged quantities appear on the Prometheus endpoint: in base units
// (joules, not kWh), counters for what only grows. The phase a quantity
// belongs to ("Current B", "Voltage A-B", "... A+B+C") is a label "phase",
// not in the name: in a name the linter reads a lone "b" as the
// abbreviation of bytes, and a label lets a query sum the three phases.
struct TQuantityFamily {
    struct TMember {
        std::size_t Index; // of the quantity in the log's order
        std::string Phase; // "b", "a-b", "a+b+c"; empty for a quantity of no phase
    };

    std::string Name; // "kelvane_import_energy_joules_total"
    std::string Help; // "Import Energy (+) A, B, C, from the meter's kWh"
    prometheus::MetricType Type = prometheus::MetricType::Gauge;
    double Scale = 1; // from the meter's unit to the base unit
    std::vector<TMember> Members;
};

// Every quantity in exactly one family, families in the log's order.
const std::vector<TQuantityFamily>& QuantityFamilies();
