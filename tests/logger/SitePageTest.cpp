// The site's page in a real browser: headless Chromium against the real
// kelvane-log reading simulated meters. The values the page shows are
// checked against the simulated meters' registers as the test decodes them
// itself: the meters' load stands still, so every pass serves the same
// values, and nothing of the logger's decoding, JSON or script is taken on
// trust.

#include "Browser.h"
#include "CoreApp.h"
#include "FrozenMeters.h"
#include "LocalEngine.h"
#include "LoggerRun.h"
#include "QuantityKey.h"
#include "SimProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

namespace {

const QString ScriptName = "<script>alert(1)</script>";

// What the page shows of each meter, by name.
QJsonObject Shown(TBrowser& browser)
{
    return browser.Run(R"(
        const meters = {};
        for (const card of document.querySelectorAll('.meter'))
          meters[card.querySelector('.name').textContent] = {
            online: card.dataset.online, time: card.dataset.time,
            link: card.querySelector('.link-state').dataset.state, error: card.querySelector('.link-error').textContent,
            values: Object.fromEntries([...card.querySelectorAll('tr[data-key]')].map(
              row => [row.dataset.key, row.querySelector('.v').textContent]))};
        return {meters, connection: document.getElementById('connection').dataset.state,
                scripts: document.querySelectorAll('script').length};)").toObject();
}

QJsonObject ShownMeter(TBrowser& browser, const QString& name)
{
    return Shown(browser)["meters"][name].toObject();
}

// The quantities the page shows otherwise than the meter served them: empty
// for a value the meter does not have, else the served value to the page's
// decimals.
QStringList Mismatches(TBrowser& browser, const QString& name, simharness::TSimMeters& sim, uint8_t unit)
{
    const QJsonObject values = ShownMeter(browser, name)["values"].toObject();
    QStringList mismatches;
    for (std::size_t i = 0; i < LogParameterCount; ++i) {
        const double served = Quantity(sim, unit, int(i));
        const QString shown = values[QuantityKeys()[i]].toString("(missing)");
        const double halfStep = 0.5 * std::pow(10, -LogParameters[i].Decimals) * 1.0001;
        const bool same = std::isfinite(served) ? !shown.isEmpty() && std::abs(shown.toDouble() - served) <= halfStep
                                                : shown.isEmpty();
        if (!same)
            mismatches << QString("%1: shows \"%2\", served %3").arg(QuantityKeys()[i], shown).arg(served, 0, 'g', 10);
    }
    return mismatches;
}

} // namespace

TEST(SitePage, ShowsWhatEachMeterServedAndFollowsSilenceAndRestarts)
{
    EnsureCoreApp();
    if (!TBrowser::Installed())
        GTEST_SKIP() << "chromium or chromedriver is not installed";
    simharness::TInProcessSim gateway(Frozen({1, 2}));
    TSimProcess silent(KELVANE_SIM_EXE, {"--port", "0", "--units", "7"});
    QTemporaryDir dir;
    const QString site = dir.filePath("site.ini");
    ASSERT_TRUE(WriteFile(site, QString("[Main incomer]\nLink=tcp:127.0.0.1:%1\nAddress=1\nInterval=1\n"
                                        "[%2]\nLink=tcp:127.0.0.1:%1\nAddress=2\nInterval=1\n"
                                        "[Pump]\nLink=tcp:127.0.0.1:%3\nAddress=7\nInterval=2\nTimeout=300\nTries=1\n"
                                        "[Nowhere]\nLink=tcp:127.0.0.1:%4\nAddress=1\n")
                                    .arg(gateway.Port())
                                    .arg(ScriptName)
                                    .arg(silent.Port())
                                    .arg(localengine::FreeLoopbackPort())
                                    .toUtf8()));
    const uint16_t port = localengine::FreeLoopbackPort();
    const QString url = QString("http://127.0.0.1:%1/").arg(port);
    auto run = std::make_unique<TLoggerRun>(dir);
    run->Start({"--site", site, "--http", QString::number(port)});
    TBrowser browser(1280, 900);
    ASSERT_TRUE(browser.Started()) << browser.Failure().toStdString();
    browser.Go(url);

    const struct {
        QString Name;
        uint8_t Unit;
    } frozen[] = {{"Main incomer", 1}, {ScriptName, 2}};
    for (const auto& meter : frozen) {
        SCOPED_TRACE(meter.Name.toStdString());
        EXPECT_TRUE(WaitFor([&] { return Mismatches(browser, meter.Name, gateway, meter.Unit).isEmpty(); }))
            << Mismatches(browser, meter.Name, gateway, meter.Unit).join("\n").toStdString() << run->Stderr().toStdString();
    }
    // The links' states: a gateway that answers, and a port where nothing listens.
    EXPECT_EQ(ShownMeter(browser, "Main incomer")["link"].toString(), "connected");
    EXPECT_TRUE(WaitFor([&] {
        const QJsonObject nowhere = ShownMeter(browser, "Nowhere");
        return nowhere["link"].toString() == "refused" && nowhere["error"].toString().startsWith("Cannot connect to") &&
               nowhere["online"].toString() == "false";
    }));
    // The name is text: no element was made of it, and no dialog blocks the page.
    EXPECT_EQ(Shown(browser)["scripts"].toInt(), 1);

    // The JSON for scripts, by URL-encoded name.
    const struct {
        QString Path;
        int Status;
        int Address;
    } requests[] = {{"api/meters/" + QUrl::toPercentEncoding(ScriptName), 200, 2},
                    {"api/meters/Pump", 200, 7},
                    {"api/meters/Nobody", 404, 0}};
    for (const auto& request : requests) {
        const localengine::THttpAnswer answer = localengine::HttpGet(QUrl(url + request.Path));
        EXPECT_EQ(answer.Status, request.Status) << request.Path.toStdString();
        EXPECT_EQ(QJsonDocument::fromJson(answer.Body)["meter"]["address"].toInt(), request.Address);
    }

    // A second logger on the page's port does not start, and says why.
    QTemporaryDir otherDir;
    TLoggerRun other(otherDir);
    other.Start({"--site", site, "--http", QString::number(port)});
    EXPECT_EQ(other.Finish(), 1);
    EXPECT_TRUE(other.Stderr().contains(QString("cannot listen on 127.0.0.1:%1: Address already in use").arg(port)))
        << other.Stderr().toStdString();

    // By keyboard: the first stop is the first meter's link, which takes the focus to its card.
    browser.PressKey("\uE004");
    EXPECT_EQ(browser.Run("return document.activeElement.textContent").toString(), "Main incomer");
    browser.PressKey("\uE007");
    EXPECT_TRUE(WaitFor([&] { return browser.Run("return document.activeElement.id").toString() == "meter-0"; }));

    // Light on a desktop, dark on a phone, which needs no sideways scrolling.
    QDir().mkpath(KELVANE_SCREENSHOT_DIR);
    const QString background = "return getComputedStyle(document.body).backgroundColor";
    const QString light = browser.Run(background).toString();
    browser.Run("scrollTo(0, 0)");
    EXPECT_TRUE(browser.Screenshot(KELVANE_SCREENSHOT_DIR "/site-page-light.png"));
    browser.SetColorScheme("dark");
    browser.Resize(390, 844);
    EXPECT_NE(browser.Run(background).toString(), light);
    EXPECT_TRUE(browser.Run("return document.documentElement.scrollWidth <= innerWidth").toBool());
    EXPECT_TRUE(browser.Screenshot(KELVANE_SCREENSHOT_DIR "/site-page-dark.png"));

    // A meter that falls silent is offline on the page within two of its intervals.
    ASSERT_TRUE(WaitFor([&] { return ShownMeter(browser, "Pump")["online"].toString() == "true"; }));
    silent.Signal(SIGSTOP);
    QElapsedTimer silence;
    silence.start();
    EXPECT_TRUE(WaitFor([&] { return ShownMeter(browser, "Pump")["online"].toString() == "false"; }));
    EXPECT_LE(silence.elapsed(), 2 * 2000);
    // Its values are gone with it, not kept from the pass before.
    for (const QJsonValue value : ShownMeter(browser, "Pump")["values"].toObject())
        EXPECT_EQ(value.toString(), "");

    // The page outlives the logger: it says so, and shows the next run's passes.
    EXPECT_EQ(run->Finish(SIGTERM), 0) << run->Stderr().toStdString();
    EXPECT_TRUE(WaitFor([&] { return Shown(browser)["connection"].toString() == "lost"; }));
    const QDateTime restarted = QDateTime::currentDateTimeUtc();
    run = std::make_unique<TLoggerRun>(dir);
    run->Start({"--site", site, "--http", QString::number(port)});
    EXPECT_TRUE(WaitFor([&] {
        const QJsonObject shown = Shown(browser);
        return shown["connection"].toString() == "live" &&
               QDateTime::fromString(shown["meters"]["Main incomer"]["time"].toString(), Qt::ISODateWithMs) > restarted;
    })) << run->Stderr().toStdString();
    EXPECT_TRUE(Mismatches(browser, "Main incomer", gateway, 1).isEmpty());
}
