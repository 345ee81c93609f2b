// kelvane-log --site judges each meter's wiring as the utility does. A fault
// put on one simulated meter while the real logger runs turns on the right
// checks of that meter, and only those, on the metrics endpoint and once on
// stderr; taken away, they turn off again, said once too.

#include "CoreApp.h"
#include "LocalEngine.h"
#include "LoggerRun.h"
#include "QuantityKey.h"
#include "RegisterBanksFile.h"
#include "SimHarness.h"

#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The configuration word without the bits that force real power absolute,
// which would hide a reversed CT.
constexpr uint16_t SignedWord = 0x0500;

struct TVerdicts {
    QMap<QString, QSet<QString>> Failing; // check keys, by meter
    QMap<QString, int> Judged;            // checks, by meter
    QMap<QString, double> Requests;       // by meter
};

TVerdicts Scrape(uint16_t port)
{
    static const QRegularExpression wiring(R"re(^kelvane_wiring_problem\{meter="([^"]*)".*,check="([a-z_]+)"\} ([01])$)re");
    static const QRegularExpression requests(R"re(^kelvane_requests_total\{meter="([^"]*)".*\} (\d+)$)re");
    TVerdicts verdicts;
    const QByteArray text = localengine::HttpGet(QUrl(QString("http://127.0.0.1:%1/metrics").arg(port))).Body;
    for (const QString& line : QString::fromUtf8(text).split('\n')) {
        if (const QRegularExpressionMatch m = wiring.match(line); m.hasMatch()) {
            ++verdicts.Judged[m.captured(1)];
            if (m.captured(3) == "1")
                verdicts.Failing[m.captured(1)] << m.captured(2);
        } else if (const QRegularExpressionMatch r = requests.match(line); r.hasMatch()) {
            verdicts.Requests[r.captured(1)] = r.captured(2).toDouble();
        }
    }
    return verdicts;
}

TEST(SiteWiring, AFaultOnOneMeterTurnsOnItsChecksAndOffAgain)
{
    EnsureCoreApp();
    const QStringList meters{"Incomer", "Feeder 2", "Chiller"}; // units 1, 2, 3
    simharness::TInProcessSim gateway({.Units = {1, 2, 3}, .Clock = [] { return 1000.0; }});
    for (uint8_t unit = 1; unit <= 3; ++unit)
        gateway.SetRegister(unit, 142, SignedWord);
    QTemporaryDir dir;
    QString site;
    for (int i = 0; i < meters.size(); ++i)
        site += QString("[%1]\nLink=tcp:127.0.0.1:%2\nAddress=%3\n").arg(meters[i]).arg(gateway.Port()).arg(i + 1);
    // A unit without a meter answers every request with an exception: its
    // passes never bring the values the checks judge.
    site += QString("[Spare]\nLink=tcp:127.0.0.1:%1\nAddress=7\n").arg(gateway.Port());
    ASSERT_TRUE(WriteFile(dir.filePath("site.ini"), site.toUtf8()));
    const uint16_t port = localengine::FreeLoopbackPort();
    TLoggerRun run(dir);
    run.Start({"--site", dir.filePath("site.ini"), "--interval", "0.3", "--metrics", QString::number(port)});
    const std::vector<TRegisterBankEntry> banks = RegisterBanksFile::Read(KELVANE_BANKS_FILE);
    const auto requestsPerPass =
        double(std::count_if(banks.begin(), banks.end(), [](const TRegisterBankEntry& b) { return b.Active; }));
    const auto wiringLines = [&] {
        return run.Stderr().split('\n').filter(" the wiring check ");
    };
    ASSERT_TRUE(WaitFor([&] { return Scrape(port).Judged.size() == meters.size(); })) << run.Stderr().toStdString();
    EXPECT_TRUE(wiringLines().isEmpty()) << "healthy meters are not said";

    struct TFault {
        TWiring Wiring;
        int Meter;                // of meters
        QStringList Checks;       // that fail, by name
        QString Advice;           // part of what one of them says
    } const faults[] = {
        {TWiring::ReversedCtL2, 0, {"CT direction"}, "the CT of B is reversed"},
        {TWiring::NoCurrentL3, 1, {"Current on every phase"}, "Phase C carries no current"},
        {TWiring::NoVoltageL1, 2, {"Voltage on every phase"}, "Phase A carries current but shows no voltage"},
        {TWiring::Unbalance, 0, {"Voltage unbalance", "Current unbalance"}, "Phase B is furthest"},
        {TWiring::CrossedVoltage, 1, {"CT direction", "Line-to-line voltages"}, "V B-C is not about"},
        {TWiring::CtWrongPhase, 2, {"Power factor per phase"}, "phase C is far"},
        {TWiring::Frequency, 0, {"Frequency"}, "outside the range"},
    };
    qsizetype said = 0; // wiring lines so far
    for (const TFault& fault : faults) {
        const QString meter = meters[fault.Meter];
        SCOPED_TRACE(meter.toStdString() + ": " + fault.Checks.join(", ").toStdString());
        QSet<QString> keys;
        for (const QString& check : fault.Checks)
            keys << QuantityKey(check);
        const auto only = [&](const QSet<QString>& failing) {
            const TVerdicts now = Scrape(port);
            return now.Judged.size() == meters.size() && now.Failing.value(meter) == failing &&
                   now.Failing.size() == (failing.isEmpty() ? 0 : 1);
        };
        gateway.SetWiring(uint8_t(fault.Meter + 1), fault.Wiring);
        EXPECT_TRUE(WaitFor([&] { return only(keys); })) << run.Stderr().toStdString();
        // Some passes more with the fault: it is said once, not per pass.
        const double requests = Scrape(port).Requests.value(meter);
        ASSERT_TRUE(WaitFor([&] { return Scrape(port).Requests.value(meter) >= requests + 3 * requestsPerPass; }));
        gateway.SetWiring(uint8_t(fault.Meter + 1), TWiring::Healthy);
        EXPECT_TRUE(WaitFor([&] { return only({}); })) << run.Stderr().toStdString();

        const QStringList lines = wiringLines().mid(said);
        said += lines.size();
        const QString named = QString("the meter \"%1\" (tcp:127.0.0.1:%2, address %3) ")
                                  .arg(meter).arg(gateway.Port()).arg(fault.Meter + 1);
        QStringList expected;
        for (const QString& check : fault.Checks)
            expected << named + QString("fails the wiring check \"%1\" (").arg(check);
        for (const QString& check : fault.Checks)
            expected << named + QString("passes the wiring check \"%1\" again").arg(check);
        ASSERT_EQ(lines.size(), expected.size()) << lines.join('\n').toStdString();
        for (qsizetype i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].contains(expected[i])) << lines[i].toStdString();
        EXPECT_TRUE(lines.join('\n').contains(fault.Advice)) << lines.join('\n').toStdString();
    }
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Stderr().toStdString();
    EXPECT_EQ(wiringLines().size(), said) << run.Stderr().toStdString();
}

} // namespace
