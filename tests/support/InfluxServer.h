#pragma once

// A real InfluxDB 1.x on free 127.0.0.1 ports, its files in a directory of
// its own, asked through its HTTP API; stopped and started again on the
// same ports and files, as a server that restarts.

#include "LocalEngine.h"

#include <QJsonArray>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

class TInfluxServer {
public:
    static constexpr const char* Program = "/usr/bin/influxd";

    TInfluxServer();

    static bool Installed() { return localengine::TEngineProcess::Installed(Program); }
    bool Start() { return process_->Start(); }
    void Stop() { process_->Stop(); }
    const localengine::TEngineProcess& Process() const { return *process_; }
    // "http://127.0.0.1:PORT"
    QUrl Url() const { return url_; }

    // The "series" of the query's first statement, [{"name", "columns",
    // "values", "tags"}]; empty when there is none or the query failed.
    QJsonArray Query(const QString& influxql, const QString& database = {}) const;

private:
    QTemporaryDir dir_;
    QUrl url_;
    std::unique_ptr<localengine::TEngineProcess> process_;
};
