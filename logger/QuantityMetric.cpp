#include "QuantityMetric.h"

#include "QuantityKey.h"
#include "QuantityUnits.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

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

std::string FamilyName(const QString& quantity, const TQuantityUnit& unit)
{
    QString name = "kelvane_" + QuantityKey(quantity);
    if (*unit.BaseUnit)
        name += QString("_") + unit.BaseUnit;
    if (unit.OnlyGrows)
        name += "_total";
    return name.toStdString();
}

std::string FamilyHelp(const QString& quantity, const QStringList& phases, const TQuantityUnit& unit)
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
        const TQuantityUnit& unit = QuantityUnit(i);
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
