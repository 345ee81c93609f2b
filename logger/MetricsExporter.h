#pragma once

#include "MetricsEndpoint.h"
#include "SiteOutput.h"

#include <QString>

#include <cstdint>
#include <memory>

// The site's latest readings on a Prometheus endpoint, /metrics, served by a
// thread of its own: each scrape is made from the latest pass of each meter,
// so a counter carries the meter's own register and a meter that did not
// answer shows no value at all rather than an old one.
class TMetricsExporter : public TSiteOutput {
public:
    // The exporter listening on address:port, or null with the reason in
    // error: "cannot listen on 127.0.0.1:9105: Address already in use".
    static std::unique_ptr<TMetricsExporter> Listen(const QString& address, uint16_t port, QString& error,
                                                    const TEndpointLimits& limits = {});
    ~TMetricsExporter() override;

    void Publish(const TMeterReading& reading) override;
    // Stops serving: the endpoint has nothing to flush.
    void Finish(Clock::time_point deadline) override;

private:
    class TLatestReadings;

    explicit TMetricsExporter(std::shared_ptr<TLatestReadings> latest);

    std::shared_ptr<TLatestReadings> latest_;
    std::unique_ptr<TMetricsEndpoint> endpoint_;
};
