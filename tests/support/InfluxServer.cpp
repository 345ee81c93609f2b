#include "InfluxServer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

TInfluxServer::TInfluxServer()
{
    const uint16_t httpPort = localengine::FreeLoopbackPort();
    const uint16_t rpcPort = localengine::FreeLoopbackPort();
    url_ = QUrl(QString("http://127.0.0.1:%1").arg(httpPort));
    const QString config = dir_.filePath("influxdb.conf");
    QFile file(config);
    file.open(QIODevice::WriteOnly);
    file.write(QString("reporting-disabled = true\n"
                       "bind-address = \"127.0.0.1:%1\"\n"
                       "[meta]\n  dir = \"%3/meta\"\n"
                       "[data]\n  dir = \"%3/data\"\n  wal-dir = \"%3/wal\"\n  query-log-enabled = false\n"
                       "[http]\n  bind-address = \"127.0.0.1:%2\"\n  log-enabled = false\n"
                       "[monitor]\n  store-enabled = false\n"
                       "[continuous_queries]\n  enabled = false\n")
                   .arg(rpcPort)
                   .arg(httpPort)
                   .arg(dir_.path())
                   .toUtf8());
    file.close();
    QUrl ping = url_;
    ping.setPath("/ping");
    process_ = std::make_unique<localengine::TEngineProcess>(Program, QStringList{"-config", config}, ping,
                                                             dir_.filePath("influxd.log"));
}

QJsonArray TInfluxServer::Query(const QString& influxql, const QString& database) const
{
    QUrl url = url_;
    url.setPath("/query");
    // Percent-encoded in full: a bare "+" in a form is a space.
    QByteArray form = "q=" + QUrl::toPercentEncoding(influxql);
    if (!database.isEmpty())
        form += "&db=" + QUrl::toPercentEncoding(database);
    const localengine::THttpAnswer answer = localengine::HttpPost(url, form, "application/x-www-form-urlencoded");
    const QJsonObject result = QJsonDocument::fromJson(answer.Body).object()["results"].toArray().at(0).toObject();
    return result["series"].toArray();
}
