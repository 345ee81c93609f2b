#include "WiringReport.h"

#include "LoggerMessages.h"
#include "WiringVerdicts.h"

#include <QStringList>

namespace {

// "P A 1.234 kW, P B -1.102 kW, P C 1.301 kW", each with the decimals the
// check shows it with.
QString ValuesText(const rWiringCheck& check)
{
    QStringList values;
    for (const rUsedValue& used : check.Values) {
        QString value = QString::fromStdString(used.Label) + ' ' + QString::number(used.Value, 'f', used.Decimals);
        if (!used.Unit.empty())
            value += ' ' + QString::fromStdString(used.Unit);
        values << value;
    }
    return values.join(", ");
}

} // namespace

void TWiringReport::Publish(const TMeterReading& reading)
{
    if (!reading.Answered || reading.Wiring.empty())
        return;
    std::unordered_map<std::string, bool>& failing = failing_[reading.Meter.Name];
    for (const rWiringCheck& check : reading.Wiring) {
        const bool problem = WiringVerdicts::Problem(check);
        bool& said = failing[check.Name];
        if (problem == said)
            continue;
        said = problem;
        const QString meter = MeterText(reading.Meter);
        const QString name = QString::fromStdString(check.Name);
        const QString advice = QString::fromStdString(check.Advice);
        if (problem)
            LoggerMessage(QString("the meter %1 fails the wiring check \"%2\" (%3): %4")
                              .arg(meter, name, ValuesText(check), advice));
        else if (check.Verdict == TCheckVerdict::Warning)
            LoggerMessage(QString("the meter %1 no longer fails the wiring check \"%2\", but warns: %3")
                              .arg(meter, name, advice));
        else
            LoggerMessage(QString("the meter %1 passes the wiring check \"%2\" again").arg(meter, name));
    }
}
