#pragma once

#include "WiringCheck.h"

#include <QByteArray>
#include <QString>

#include <vector>

// The wiring checks of a reading as the site's outputs carry them: each
// check by a key made of its name ("CT direction" -> "ct_direction"), its
// verdict in lower case and the values it judged. A check is a problem when
// it fails; a warning (a strong unbalance, say) is shown but raises no alarm.
namespace WiringVerdicts {

QString CheckKey(const rWiringCheck& check);
QString VerdictText(TCheckVerdict verdict); // "pass", "warning", "fail"
bool Problem(const rWiringCheck& check);

// {"problem":true,"checks":[{"check":"ct_direction","name":"CT direction",
// "verdict":"fail","advice":"...","values":[{"label":"P A","value":-1.2,"unit":"kW"}]}]}
QByteArray Json(const std::vector<rWiringCheck>& checks);

} // namespace WiringVerdicts
