#include "HomeAssistantConfig.h"

#include "MeterScan.h"
#include "QuantityKey.h"
#include "QuantityUnits.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

namespace HomeAssistant {

namespace {

// Home Assistant's class of each of the meter's units, as its sensor
// device classes define them (developers.home-assistant.io, "Sensor
// entity", device classes and their units). Energies are counters; apparent
// energy (kVAh) has no device class, so it is a counter with its unit alone.
struct TUnitClass {
    const char* MeterUnit;
    const char* DeviceClass; // none when null
    bool Energy;             // a total: total_increasing when it only grows, else total
};

constexpr TUnitClass UnitClasses[] = {
    {"kWh", "energy", true},         {"kvarh", "reactive_energy", true}, {"kVAh", nullptr, true},
    {"W", "power", false},           {"var", "reactive_power", false},   {"VA", "apparent_power", false},
    {"V", "voltage", false},         {"A", "current", false},            {"Hz", "frequency", false},
};

QString DeviceId(const TMeterEntities& meter)
{
    return SiteNode(meter.Site) + '-' + IdPart(meter.Name);
}

// The class fields of quantity index: a ratio is a power factor (Home
// Assistant's takes no unit or %); the software version is a number without
// a class, shown among the device's diagnostics.
void AddClasses(QJsonObject& config, std::size_t index)
{
    const TQuantityUnit& unit = QuantityUnit(index);
    if (*unit.MeterUnit != '\0')
        config["unit_of_measurement"] = unit.MeterUnit;
    if (std::strcmp(unit.BaseUnit, "ratio") == 0) {
        config["device_class"] = "power_factor";
        config["state_class"] = "measurement";
        return;
    }
    for (const TUnitClass& unitClass : UnitClasses) {
        if (std::strcmp(unitClass.MeterUnit, unit.MeterUnit) != 0)
            continue;
        if (unitClass.DeviceClass)
            config["device_class"] = unitClass.DeviceClass;
        config["state_class"] = !unitClass.Energy ? "measurement" : unit.OnlyGrows ? "total_increasing" : "total";
        return;
    }
    config["entity_category"] = "diagnostic";
}

QJsonObject Device(const TMeterEntities& meter, const TIdentity& identity)
{
    QJsonObject device{{"identifiers", QJsonArray{DeviceId(meter)}},
                       {"name", meter.Name},
                       {"manufacturer", "Kelvane"},
                       {"via_device", SiteNode(meter.Site)}};
    if (!identity.Model.isEmpty())
        device["model"] = identity.Model;
    if (identity.SerialNumber)
        device["serial_number"] = QString::number(*identity.SerialNumber);
    if (identity.SoftwareVersion)
        device["sw_version"] = SoftwareVersionText(*identity.SoftwareVersion);
    return device;
}

// What every entity of the meter shares: its device, its availability (the
// meter's retained status, "offline" also as the logger's last will) and
// who announced it.
QJsonObject Entity(const TMeterEntities& meter, const TIdentity& identity, const QString& key, const QString& name,
                   const QString& stateTopic)
{
    return QJsonObject{{"name", name},
                       {"unique_id", DeviceId(meter) + '-' + key},
                       {"state_topic", stateTopic},
                       {"availability_topic", meter.Topic + "/status"},
                       {"payload_available", "online"},
                       {"payload_not_available", "offline"},
                       {"device", Device(meter, identity)},
                       {"origin", QJsonObject{{"name", "kelvane-log"}}}};
}

QByteArray ConfigTopic(const QString& prefix, const char* component, const TMeterEntities& meter, const QString& key)
{
    return (prefix + '/' + component + '/' + SiteNode(meter.Site) + '/' + IdPart(meter.Name) + '-' + key + "/config")
        .toUtf8();
}

// A quantity the pass did not bring is not in the state message: the
// template then gives "None", which sets a numeric sensor to unknown
// (an empty result would leave it at its last value).
QString ValueTemplate(const QString& key)
{
    return QString("{{ value_json['values']['%1'] | default('None') }}").arg(key);
}

QByteArray Compact(const QJsonObject& config)
{
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

} // namespace

QString IdPart(const QString& name)
{
    QString part = name;
    for (QChar& c : part)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            c = '_';
    if (part == name)
        return part;
    return part + '_' + QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
}

QString SiteNode(const QString& site)
{
    return "kelvane-" + IdPart(site);
}

bool Learn(TIdentity& identity, const TMeterReading& reading)
{
    bool changed = false;
    const auto take = [&changed](auto& known, const auto& told) {
        if (told && known != told) {
            known = told;
            changed = true;
        }
    };
    take(identity.SerialNumber, reading.SerialNumber);
    take(identity.SoftwareVersion, reading.SoftwareVersion);
    if (!reading.Model.isEmpty() && reading.Model != identity.Model) {
        identity.Model = reading.Model;
        changed = true;
    }
    return changed;
}

std::vector<TConfig> MeterConfigs(const QString& prefix, const TMeterEntities& meter, const TIdentity& identity)
{
    std::vector<TConfig> configs;
    const QString state = meter.Topic + "/state";
    for (std::size_t i = 0; i < LogParameterCount; ++i) {
        if (!meter.Selection[i])
            continue;
        const QString& key = QuantityKeys()[i];
        QJsonObject config = Entity(meter, identity, key, LogParameters[i].Caption, state);
        config["value_template"] = ValueTemplate(key);
        config["suggested_display_precision"] = LogParameters[i].Decimals;
        AddClasses(config, i);
        configs.push_back({ConfigTopic(prefix, "sensor", meter, key), Compact(config)});
    }
    QJsonObject wiring = Entity(meter, identity, "wiring", "Wiring", meter.Topic + "/wiring");
    wiring["device_class"] = "problem";
    wiring["value_template"] = "{{ 'ON' if value_json.problem else 'OFF' }}";
    wiring["entity_category"] = "diagnostic";
    configs.push_back({ConfigTopic(prefix, "binary_sensor", meter, "wiring"), Compact(wiring)});
    return configs;
}

} // namespace HomeAssistant
