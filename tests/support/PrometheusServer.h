#pragma once

// A real Prometheus on a free 127.0.0.1 port that scrapes one target every
// second (or every scrapeSeconds), asked through its HTTP API.

#include "LocalEngine.h"

#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <vector>

class TPrometheusServer {
public:
    static constexpr const char* Program = "/usr/bin/prometheus";

    struct TSample {
        QMap<QString, QString> Labels; // the name under "__name__"
        double Value = 0;
    };

    // target: "127.0.0.1:9105", scraped at /metrics.
    explicit TPrometheusServer(const QString& target, int scrapeSeconds = 1);

    static bool Installed() { return localengine::TEngineProcess::Installed(Program); }
    bool Start() { return process_->Start(); }
    const localengine::TEngineProcess& Process() const { return *process_; }
    uint16_t Port() const { return port_; }

    // The instant vector of a PromQL query; empty when the query failed.
    std::vector<TSample> Query(const QString& promql) const;
    // The series of a range query from start to end (seconds since the epoch)
    // every step seconds, each with its last value; empty when it failed.
    std::vector<TSample> QueryRange(const QString& promql, qint64 start, qint64 end, int step) const;
    // The value of the query's one sample whose label has the given value.
    std::optional<double> Value(const QString& promql, const QString& label, const QString& value) const;

private:
    std::vector<TSample> Samples(const QString& path, const QString& query) const;

    QTemporaryDir dir_;
    uint16_t port_;
    std::unique_ptr<localengine::TEngineProcess> process_;
};
