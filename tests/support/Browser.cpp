#include "Browser.h"

#include "LocalEngine.h"
#include "TestFiles.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

const QString Driver = "/usr/bin/chromedriver";

} // namespace

bool TBrowser::Installed()
{
    return QFileInfo(Driver).isExecutable() && QFileInfo("/usr/bin/chromium").isExecutable();
}

TBrowser::TBrowser(int width, int height) : port_(localengine::FreeLoopbackPort())
{
    driver_.start(Driver, {QString("--port=%1").arg(port_)});
    if (!localengine::WaitUntil([&] {
            return localengine::HttpGet(QUrl(QString("http://127.0.0.1:%1/status").arg(port_))).Status == 200;
        })) {
        failure_ = "chromedriver did not start";
        return;
    }
    const QJsonArray args{"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                          QString("--window-size=%1,%2").arg(width).arg(height)};
    const QJsonObject chrome{{"binary", "/usr/bin/chromium"}, {"args", args}};
    const QJsonValue answer = Command("/session", {{"capabilities", QJsonObject{{"alwaysMatch", QJsonObject{
                                                       {"goog:chromeOptions", chrome}}}}}});
    session_ = answer["sessionId"].toString();
    if (session_.isEmpty())
        failure_ = QJsonDocument(answer.toObject()).toJson();
}

TBrowser::~TBrowser()
{
    if (Started())
        localengine::HttpDelete(QUrl(QString("http://127.0.0.1:%1/session/%2").arg(port_).arg(session_)));
    driver_.terminate();
    driver_.waitForFinished(5000);
}

QJsonValue TBrowser::Command(const QString& path, const QJsonObject& body)
{
    const QString session = session_.isEmpty() ? QString() : "/session/" + session_;
    const localengine::THttpAnswer answer = localengine::HttpPost(
        QUrl(QString("http://127.0.0.1:%1%2%3").arg(port_).arg(session, path)),
        QJsonDocument(body).toJson(QJsonDocument::Compact), "application/json", std::chrono::seconds(60));
    return QJsonDocument::fromJson(answer.Body)["value"];
}

void TBrowser::Go(const QString& url)
{
    Command("/url", {{"url", url}});
}

void TBrowser::Resize(int width, int height)
{
    Command("/window/rect", {{"width", width}, {"height", height}});
}

QJsonValue TBrowser::Run(const QString& script)
{
    return Command("/execute/sync", {{"script", script}, {"args", QJsonArray{}}});
}

void TBrowser::SetColorScheme(const QString& scheme)
{
    const QJsonArray features{QJsonObject{{"name", "prefers-color-scheme"}, {"value", scheme}}};
    Command("/goog/cdp/execute", {{"cmd", "Emulation.setEmulatedMedia"}, {"params", QJsonObject{{"features", features}}}});
}

void TBrowser::PressKey(const QString& key)
{
    const QJsonArray keys{QJsonObject{{"type", "keyDown"}, {"value", key}}, QJsonObject{{"type", "keyUp"}, {"value", key}}};
    Command("/actions", {{"actions", QJsonArray{QJsonObject{{"type", "key"}, {"id", "keyboard"}, {"actions", keys}}}}});
}

bool TBrowser::Screenshot(const QString& path)
{
    const localengine::THttpAnswer answer =
        localengine::HttpGet(QUrl(QString("http://127.0.0.1:%1/session/%2/screenshot").arg(port_).arg(session_)));
    const QByteArray png = QByteArray::fromBase64(QJsonDocument::fromJson(answer.Body)["value"].toString().toLatin1());
    return !png.isEmpty() && WriteFile(path, png);
}
