#include "WiringVerdicts.h"

#include "QuantityKey.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace WiringVerdicts {

QString CheckKey(const rWiringCheck& check)
{
    return QuantityKey(QString::fromStdString(check.Name));
}

QString VerdictText(TCheckVerdict verdict)
{
    switch (verdict) {
    case TCheckVerdict::Pass: return "pass";
    case TCheckVerdict::Warning: return "warning";
    case TCheckVerdict::Fail: break;
    }
    return "fail";
}

bool Problem(const rWiringCheck& check)
{
    return check.Verdict == TCheckVerdict::Fail;
}

QByteArray Json(const std::vector<rWiringCheck>& checks)
{
    QJsonArray list;
    for (const rWiringCheck& check : checks) {
        QJsonArray values;
        for (const rUsedValue& used : check.Values) {
            // A value is rounded to the decimals the check shows it with.
            const double scale = std::pow(10.0, used.Decimals);
            values.append(QJsonObject{{"label", QString::fromStdString(used.Label)},
                                      {"value", std::round(used.Value * scale) / scale},
                                      {"unit", QString::fromStdString(used.Unit)}});
        }
        list.append(QJsonObject{{"check", CheckKey(check)},
                                {"name", QString::fromStdString(check.Name)},
                                {"verdict", VerdictText(check.Verdict)},
                                {"advice", QString::fromStdString(check.Advice)},
                                {"values", values}});
    }
    const bool problem = std::any_of(checks.begin(), checks.end(), Problem);
    return QJsonDocument(QJsonObject{{"problem", problem}, {"checks", list}}).toJson(QJsonDocument::Compact);
}

} // namespace WiringVerdicts
