#pragma once

#include <QString>
#include <QUrl>

#include <cstddef>
#include <cstdint>

// The MQTT broker that takes the site's readings: --mqtt HOST[:PORT] and the
// switches around it. The password comes from a file or the environment,
// never from the command line, where ps would show it.
struct TMqttOptions {
    QString Host;
    int Port = 1883;
    QString Prefix = "kelvane";
    QString User;
    QString Password;
    QString CaFile; // TLS with this CA certificate when given
    // Home Assistant's MQTT discovery of the site's meters, on when the
    // prefix is set: --mqtt-discovery [PREFIX]. Site names the site in the
    // entities' ids: its file's base name.
    QString DiscoveryPrefix;
    QString Site = "kelvane-log";
};

// The systems a site's readings go to besides the CSV files; each is off
// while its switch is not given.
struct TOutputOptions {
    TMqttOptions Mqtt;         // on when Mqtt.Host is set
    QString MetricsAddress;    // the Prometheus endpoint, on when MetricsPort is set
    uint16_t MetricsPort = 0;
    QString HttpAddress;       // the site's page and its JSON, on when HttpPort is set
    uint16_t HttpPort = 0;
    QUrl Influx;               // InfluxDB's base URL, on when valid
    QString InfluxDb;
    // What MQTT and InfluxDB hold in memory, all together, of the records
    // their systems have not taken yet, shared equally; beyond it each keeps
    // them in spool files "<SpoolStem>.mqtt-N.spool", "<SpoolStem>.influx-N.spool"
    // in the working directory, up to SpoolBytes each, sent first at the
    // next start when a run ends with some.
    qint64 HeldBytes = 8 << 20;
    qint64 SpoolBytes = qint64(1) << 30;
    QString SpoolStem = "kelvane-log";

    bool Any() const { return !Mqtt.Host.isEmpty() || MetricsPort != 0 || HttpPort != 0 || Influx.isValid(); }
};
