#include "SitePage.h"

#include "ListeningSocket.h"

#include <QAbstractHttpServer>
#include <QFile>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QUrl>

#include <unistd.h>

namespace {

using TStatus = QHttpServerResponder::StatusCode;

const QByteArray MeterPath = "/api/meters/";

// The page's files, in the program's resources, by path.
struct TAsset {
    const char* Path;
    const char* Resource;
    const char* Type;
};
constexpr TAsset Assets[] = {
    {"/", ":/site-page/index.html", "text/html; charset=utf-8"},
    {"/page.css", ":/site-page/page.css", "text/css; charset=utf-8"},
    {"/page.js", ":/site-page/page.js", "text/javascript; charset=utf-8"},
};

QByteArray Compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Everything the page needs comes from the logger, and no script runs but
// its own: a name from the site file cannot become markup or code.
void WriteAsset(QHttpServerResponder& responder, const TAsset& asset)
{
    QFile file(asset.Resource);
    file.open(QIODevice::ReadOnly);
    responder.write(file.readAll(), {{"Content-Type", asset.Type},
                                     {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                                     {"X-Content-Type-Options", "nosniff"},
                                     {"Cache-Control", "no-cache"}});
}

void WriteJson(QHttpServerResponder& responder, const QJsonObject& object, TStatus status = TStatus::Ok)
{
    responder.write(Compact(object), {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}}, status);
}

void WriteError(QHttpServerResponder& responder, TStatus status, const QString& error)
{
    WriteJson(responder, {{"error", error}}, status);
}

} // namespace

// Qt's HTTP server with every request handed to the page.
class TSitePage::TServer : public QAbstractHttpServer {
public:
    explicit TServer(TSitePage& page) : page_(page) {}

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override
    {
        page_.Answer(request, makeResponder(request, socket));
        return true;
    }
    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}

private:
    TSitePage& page_;
};

std::unique_ptr<TSitePage> TSitePage::Listen(const QString& address, uint16_t port,
                                             const std::vector<TSiteLink>& links, QString& error)
{
    const int fd = ListeningSocket(address, port, error);
    if (fd < 0)
        return nullptr;
    // Qt's HTTP server warns on stderr of each WebSocket upgrade it sees,
    // though the page has answered the request: stderr is the logger's
    // messages, and a client's requests are none of them.
    QLoggingCategory::setFilterRules("qt.httpserver.warning=false");
    std::unique_ptr<TSitePage> page(new TSitePage(links));
    auto* listener = new QTcpServer(page->server_.get());
    if (!listener->setSocketDescriptor(fd)) {
        error = QString("cannot serve the page on port %1: %2").arg(port).arg(listener->errorString());
        ::close(fd);
        return nullptr;
    }
    page->server_->bind(listener);
    return page;
}

TSitePage::TSitePage(const std::vector<TSiteLink>& links) : server_(std::make_unique<TServer>(*this))
{
    for (const TSiteLink& link : links)
        for (const TSiteMeter& meter : link.Meters) {
            byName_[meter.Id.Name] = meters_.size();
            meters_.push_back({.Id = meter.Id, .Selection = meter.Selection, .Interval = link.Interval,
                               .Latest = std::nullopt, .AnswerSince = {}});
        }
}

TSitePage::~TSitePage()
{
    streams_.CloseAll();
}

// The page keeps the reading whole, in place of the meter's last one, and
// since when the meter answers or not.
void TSitePage::Publish(const TMeterReading& reading)
{
    const auto found = byName_.find(reading.Meter.Name);
    if (found == byName_.end())
        return;
    TPageMeter& meter = meters_[found->second];
    if (!meter.Latest || meter.Latest->Answered != reading.Answered)
        meter.AnswerSince = reading.Time;
    meter.Latest = reading;
    if (!streams_.Empty())
        streams_.Send("meter", Compact(SitePageJson::OneMeter(meter)));
}

void TSitePage::Finish(Clock::time_point)
{
    streams_.CloseAll();
}

void TSitePage::Answer(const QHttpServerRequest& request, QHttpServerResponder&& responder)
{
    if (request.method() != QHttpServerRequest::Method::Get) {
        responder.write(QByteArray("only GET\n"), {{"Content-Type", "text/plain"}, {"Allow", "GET"}},
                        TStatus::MethodNotAllowed);
        return;
    }
    const QByteArray path = request.url().path(QUrl::FullyEncoded).toUtf8();
    for (const TAsset& asset : Assets)
        if (path == asset.Path)
            return WriteAsset(responder, asset);
    if (path == "/events")
        return streams_.Open(std::move(responder), "site", Compact(SitePageJson::Site(meters_)));
    if (path == "/api/site")
        return WriteJson(responder, SitePageJson::Site(meters_));
    if (path.startsWith(MeterPath)) {
        const QString name = QUrl::fromPercentEncoding(path.mid(MeterPath.size()));
        const auto found = byName_.find(name);
        if (found == byName_.end())
            return WriteError(responder, TStatus::NotFound, QString("no meter named \"%1\"").arg(name));
        return WriteJson(responder, SitePageJson::OneMeter(meters_[found->second]));
    }
    WriteError(responder, TStatus::NotFound, QString("nothing at %1").arg(QString::fromUtf8(path)));
}
