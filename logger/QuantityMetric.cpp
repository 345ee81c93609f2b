#include "QuantityMetric.h"

#include "QuantityKey.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>

namespace {

// The meter's unit of a run of quantities and the base unit it becomes.
struct TUnitRange {
    std::size_t First, Last;
    const char* MeterUnit; // "" for a ratio or a number without a unit
    const char* BaseUnit;  // the name's suffix; "" for none
    double Scale;
    bool OnlyGrows; // an energy register that never falls: a counter
};

constexpr double KiloHour = 3.6e6; // kWh to joules, kvarh to var seconds, kVAh to VA seconds

constexpr std::array<TUnitRange, 21> Units{{
    {0, 0, "kWh", "joules", KiloHour, true},
    {1, 1, "W", "watts", 1, false},
    {2, 2, "var", "volt_amperes_reactive", 1, false},
    {3, 3, "VA", "volt_amperes", 1, false},
    {4, 5, "V", "volts", 1, false},
    {6, 6, "A", "amperes", 1, false},
    {7, 7, "", "ratio", 1, false},
    {8, 8, "Hz", "hertz", 1, false},
    {9, 9, "W", "watts", 1, false},
    {10, 15, "V", "volts", 1, false},
    {16, 18, "A", "amperes", 1, false},
    {19, 21, "W", "watts", 1, false},
    {22, 24, "var", "volt_amperes_reactive", 1, false},
    {25, 27, "VA", "volt_amperes", 1, false},
    {28, 30, "", "ratio", 1, false},
    {31, 31, "", "", 1, false}, // the software version
    {32, 39, "kWh", "joules", KiloHour, true},
    {40, 43, "kWh", "joules", KiloHour, false}, // net energy, may fall
    {44, 51, "kvarh", "volt_ampere_reactive_seconds", KiloHour, true},
    {52, 55, "kvarh", "volt_ampere_reactive_seconds", KiloHour, false}, // net, may fall
    {56, 59, "kVAh", "volt_ampere_seconds", KiloHour, true},
}};

const TUnitRange& UnitOf(std::size_t index)
{
    for (const TUnitRange& range : Units)
        if (index >= range.First && index <= range.Last)
            return range;
    return Units.back(); // not reached: the ranges cover all 60 quantities
}

// A caption split into the quantity and its phase: "Voltage A-B" into
// "Voltage" and "A-B"; "Average Voltage (L-N)" is of no phase.
struct TCaptionParts {
    QString Quantity;
    QString Phase;
};

TCaptionParts SplitPhase(const QString& caption)
{
    static const QRegularExpression phase(R"(^(.*) ([ABC](?:[-+][ABCN])*)$)");
    const QRegularExpressionMatch match = phase.match(caption);
    if (!match.hasMatch())
        return {caption, {}};
    return {match.captured(1), match.captured(2)};
}

std::string FamilyName(const QString& quantity, const TUnitRange& unit)
{
    QString name = "kelvane_" + QuantityKey(quantity);
    if (*unit.BaseUnit)
        name += QString("_") + unit.BaseUnit;
    if (unit.OnlyGrows)
        name += "_total";
    return name.toStdString();
}

std::string FamilyHelp(const QString& quantity, const QStringList& phases, const TUnitRange& unit)
{
    QString help = quantity;
    if (!phases.isEmpty())
        help += ' ' + phases.join(", ");
    if (*unit.MeterUnit)
        help += QString(", from the meter's ") + unit.MeterUnit;
    return help.toStdString();
}

std::vector<TQuantityFamily> MakeFamilies()
{
    std::vector<TQuantityFamily> families;
    std::vector<QStringList> phases; // by family, as the captions write them
    for (std::size_t i = 0; i < LogParameterCount; ++i) {
        const TCaptionParts parts = SplitPhase(LogParameters[i].Caption);
        const TUnitRange& unit = UnitOf(i);
        const std::string name = FamilyName(parts.Quantity, unit);
        auto family = std::find_if(families.begin(), families.end(),
                                   [&](const TQuantityFamily& f) { return f.Name == name; });
        if (family == families.end()) {
            families.push_back({name, {}, unit.OnlyGrows ? prometheus::MetricType::Counter
                                                         : prometheus::MetricType::Gauge,
                                unit.Scale, {}});
            phases.emplace_back();
            family = families.end() - 1;
        }
        family->Members.push_back({i, parts.Phase.toLower().toStdString()});
        QStringList& familyPhases = phases[std::size_t(family - families.begin())];
        if (!parts.Phase.isEmpty())
            familyPhases << parts.Phase;
        family->Help = FamilyHelp(parts.Quantity, familyPhases, unit);
    }
    return families;
}

} // namespace

const std::vector<TQuantityFamily>& QuantityFamilies()
{
    static const std::vector<TQuantityFamily> families = MakeFamilies();
    return families;
}
