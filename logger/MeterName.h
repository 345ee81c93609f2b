#pragma once

#include <QByteArray>
#include <QString>

// A meter's name, the heading of its section in a site file, as each output
// carries it: a level of its MQTT topics, the "meter" label of its
// Prometheus samples (prometheus-cpp escapes '\', '"' and a line break in a
// label value) and the "meter" tag of its InfluxDB points. A site file whose
// names the outputs would refuse, or would merge into one topic, is refused
// at the start, whichever outputs are on: a site file that runs today keeps
// running when an output is switched on later.
namespace MeterName {

// Long enough for any name people give a meter, short enough for a topic,
// a tag and a message.
constexpr qsizetype MaxCharacters = 100;

// Why an output cannot carry the name, as the end of a sentence that starts
// with the name ("is empty"); empty when every output can.
QString Fault(const QString& name);

// The name as a level of the meter's MQTT topics: what a level cannot hold,
// '/' (it separates levels), '+' and '#' (wildcards), becomes '_', so that
// subscribers find a meter under the name people know it by. Two names that
// differ only there share a level: the site file refuses the second.
QString MqttLevel(const QString& name);
// The stem of the meter's MQTT topics: "<prefix>/<level>".
QString MqttTopic(const QString& prefix, const QString& name);

// The name as an InfluxDB tag value in line protocol: ',', '=' and ' ' are
// escaped with a backslash. A backslash before any other character stays as
// it is, and InfluxDB takes one before an escaped character as it is too;
// only one at the end would escape the separator after the value, which is
// why such a name has a fault.
QByteArray InfluxTag(const QString& name);

} // namespace MeterName
