#pragma once

#include "EventStreams.h"
#include "SiteFile.h"
#include "SiteOutput.h"
#include "SitePageJson.h"

#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class QHttpServerRequest;

// The site in a browser: a page of every meter served by the logger itself
// (its HTML, style and script are in the program), kept up to date by
// server-sent events after each pass, and the same data as JSON for
// scripts at /api/site and /api/meters/NAME. Served in the main thread by
// Qt's HTTP server; a request is answered from what the page holds, never
// by waiting for a meter.
class TSitePage : public TSiteOutput {
public:
    // The page listening on address:port for the meters of the links, or
    // null with the reason in error: "cannot listen on 127.0.0.1:8080:
    // Address already in use".
    static std::unique_ptr<TSitePage> Listen(const QString& address, uint16_t port,
                                             const std::vector<TSiteLink>& links, QString& error);
    ~TSitePage() override;

    void Publish(const TMeterReading& reading) override;
    // Ends the browsers' streams: they connect again to the next run.
    void Finish(Clock::time_point deadline) override;

private:
    class TServer;

    explicit TSitePage(const std::vector<TSiteLink>& links);
    void Answer(const QHttpServerRequest& request, QHttpServerResponder&& responder);

    std::vector<TPageMeter> meters_; // in the site file's order
    std::map<QString, std::size_t> byName_;
    TEventStreams streams_;
    std::unique_ptr<TServer> server_;
};
