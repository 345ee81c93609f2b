// Reads arbitrary bytes as a site file. A refusal and a site are both
// accepted outcomes; a crash, a sanitizer report or a broken promise of the
// reader is a finding:
//   - a file is refused with a short message that names it and shows no
//     control character, or it gives at least one meter, never both;
//   - every meter's name is one that libmosquitto takes in a topic, that
//     ends in no backslash (an InfluxDB tag could not end the value), and
//     that no other meter's MQTT topics share;
//   - no two meters share an address on a link, nor a log file.

#include "MeterName.h"
#include "SiteFile.h"

#include <QFile>
#include <QSet>
#include <QString>

#include <mosquitto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

// A refusal quotes at most a few values of the file, each cut short.
constexpr qsizetype MaxMessage = 1000;

void CheckRefusal(const QString& message, const QString& fileName)
{
    Require(message.startsWith(fileName) && message.size() - fileName.size() < MaxMessage);
    for (const QChar c : message)
        Require(c.category() != QChar::Other_Control);
}

void CheckSite(const std::vector<TSiteLink>& links)
{
    Require(!links.empty());
    QSet<QString> levels;
    QSet<QString> files;
    for (const TSiteLink& link : links) {
        Require(!link.Meters.empty());
        QSet<int> addresses;
        for (const TSiteMeter& meter : link.Meters) {
            const QByteArray topic = ("kelvane/" + MeterName::MqttLevel(meter.Id.Name) + "/status").toUtf8();
            Require(mosquitto_validate_utf8(topic.constData(), int(topic.size())) == MOSQ_ERR_SUCCESS);
            Require(mosquitto_pub_topic_check(topic.constData()) == MOSQ_ERR_SUCCESS);
            Require(!MeterName::InfluxTag(meter.Id.Name).endsWith('\\'));
            Require(!levels.contains(MeterName::MqttLevel(meter.Id.Name)));
            levels.insert(MeterName::MqttLevel(meter.Id.Name));
            Require(meter.Id.Address >= 1 && meter.Id.Address <= 247 && !addresses.contains(meter.Id.Address));
            addresses.insert(meter.Id.Address);
            Require(meter.File.isEmpty() || !files.contains(meter.File));
            files.insert(meter.File);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // In memory, this process's own.
    static const QString fileName = QString("/dev/shm/kelvane-site-fuzz-%1.ini").arg(::getpid());
    {
        QFile file(fileName);
        Require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        Require(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    const TSiteFileResult site = ReadSiteFile(fileName, TLoggerOptions{});
    if (!site.Error.isEmpty()) {
        Require(site.Links.empty());
        CheckRefusal(site.Error, fileName);
    } else {
        CheckSite(site.Links);
    }
    return 0;
}
