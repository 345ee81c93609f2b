#pragma once

#include <cstddef>

// The unit of each logged quantity as the meter sends it, and the base unit
// it becomes where a system wants base units (Prometheus).
struct TQuantityUnit {
    const char* MeterUnit; // "kWh", "W", "V"; "" for a ratio or a number without a unit
    const char* BaseUnit;  // "joules", "watts"; "" for none
    double Scale;          // from the meter's unit to the base unit
    bool OnlyGrows;        // an energy register that never falls: a counter
};

// The unit of the quantity at this index of the log's order.
const TQuantityUnit& QuantityUnit(std::size_t index);
