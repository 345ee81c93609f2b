#pragma once

#include "LogFile.h"
#include "MeterReading.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// What Home Assistant's MQTT discovery is told of a site's meters: one
// config per entity, retained, on
// "PREFIX/sensor/kelvane-SITE/METER-KEY/config" for each logged quantity and
// "PREFIX/binary_sensor/kelvane-SITE/METER-wiring/config" for the wiring
// problem. The entities of a meter make one device, "kelvane-SITE-METER",
// connected through the logger's, "kelvane-SITE". SITE and METER are the
// names as IdPart makes them, so that every id and topic level holds only
// [a-zA-Z0-9_-] and stays the same as long as the names do.
namespace HomeAssistant {

// A name as a part of the ids: letters and digits as they are, any other
// character '_'; a name with such a character gets '_' and 8 hex digits of
// its SHA-1 after it, so that names that differ only there stay apart. A
// part never holds '-', which joins the parts.
QString IdPart(const QString& name);

// The topic level under which a site's configs are: "kelvane-plant".
QString SiteNode(const QString& site);

// A meter's identity as far as it has told it.
struct TIdentity {
    std::optional<int> SerialNumber;
    std::optional<double> SoftwareVersion;
    QString Model;
};

// What a reading tells of the meter's identity that was not known: true
// when identity changed. A reading without a field leaves it as it was.
bool Learn(TIdentity& identity, const TMeterReading& reading);

// A meter of the site as its configs name it.
struct TMeterEntities {
    QString Site;
    QString Name;  // the site file's section name
    QString Topic; // its MQTT topics' stem: "kelvane/Main incomer"
    TLogSelection Selection{};
};

struct TConfig {
    QByteArray Topic;
    QByteArray Payload;
};

// Every config of the meter: a sensor for each quantity it logs and the
// wiring problem.
std::vector<TConfig> MeterConfigs(const QString& prefix, const TMeterEntities& meter, const TIdentity& identity);

} // namespace HomeAssistant
