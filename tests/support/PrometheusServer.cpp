#include "PrometheusServer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

TPrometheusServer::TPrometheusServer(const QString& target, int scrapeSeconds) : port_(localengine::FreeLoopbackPort())
{
    const QString config = dir_.filePath("prometheus.yml");
    QFile file(config);
    file.open(QIODevice::WriteOnly);
    file.write(QString("global:\n"
                       "  scrape_interval: %2s\n"
                       "  scrape_timeout: %2s\n"
                       "  evaluation_interval: 1s\n"
                       "scrape_configs:\n"
                       "  - job_name: kelvane\n"
                       "    static_configs:\n"
                       "      - targets: ['%1']\n")
                   .arg(target)
                   .arg(scrapeSeconds)
                   .toUtf8());
    file.close();
    const QString listen = QString("127.0.0.1:%1").arg(port_);
    process_ = std::make_unique<localengine::TEngineProcess>(
        Program,
        QStringList{"--config.file=" + config, "--storage.tsdb.path=" + dir_.filePath("data"),
                    "--web.listen-address=" + listen, "--log.level=warn"},
        QUrl("http://" + listen + "/-/ready"), dir_.filePath("prometheus.log"));
}

std::vector<TPrometheusServer::TSample> TPrometheusServer::Query(const QString& promql) const
{
    // Percent-encoded in full: a bare "+" would reach the server as a space.
    return Samples("query", "query=" + QString::fromLatin1(QUrl::toPercentEncoding(promql)));
}

std::vector<TPrometheusServer::TSample> TPrometheusServer::QueryRange(const QString& promql, qint64 start, qint64 end,
                                                                      int step) const
{
    // Joined, not put in with arg(): the encoded query holds "%3D" and the like.
    return Samples("query_range", "query=" + QString::fromLatin1(QUrl::toPercentEncoding(promql)) +
                                      QString("&start=%1&end=%2&step=%3").arg(start).arg(end).arg(step));
}

std::vector<TPrometheusServer::TSample> TPrometheusServer::Samples(const QString& path, const QString& query) const
{
    QUrl url(QString("http://127.0.0.1:%1/api/v1/%2").arg(port_).arg(path));
    url.setQuery(query);
    const QJsonObject answer = QJsonDocument::fromJson(localengine::HttpGet(url).Body).object();
    std::vector<TSample> samples;
    for (const QJsonValue result : answer["data"].toObject()["result"].toArray()) {
        TSample sample;
        const QJsonObject metric = result["metric"].toObject();
        for (auto label = metric.begin(); label != metric.end(); ++label)
            sample.Labels[label.key()] = label.value().toString();
        // "value": [time, "1520.5"] of an instant vector, "values": [[time, "1520.5"], ...] of a range
        const QJsonArray value = result["value"].isArray() ? result["value"].toArray()
                                                           : result["values"].toArray().last().toArray();
        sample.Value = value.at(1).toString().toDouble();
        samples.push_back(sample);
    }
    return samples;
}

std::optional<double> TPrometheusServer::Value(const QString& promql, const QString& label,
                                               const QString& value) const
{
    for (const TSample& sample : Query(promql))
        if (sample.Labels.value(label) == value)
            return sample.Value;
    return std::nullopt;
}
