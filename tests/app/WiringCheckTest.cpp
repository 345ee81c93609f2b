#include "AppHarness.h"

#include "WiringCheck.h"
#include "WiringCheckWindow.h"

#include <QLabel>
#include <QMenuBar>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using apptest::rSimSetup;
using apptest::TAppHarness;
using apptest::TInProcessSim;
using apptest::Poller;

namespace {

// The verdicts of all checks, one letter each in the order of the window's
// rows: voltage present, current present, CT direction, voltage unbalance,
// current unbalance, line-to-line voltages, power factors, frequency.
std::string Letters(const std::vector<TCheckVerdict>& verdicts)
{
    std::string s;
    for (TCheckVerdict v : verdicts)
        s += v == TCheckVerdict::Pass ? 'P' : v == TCheckVerdict::Warning ? 'W' : 'F';
    return s;
}

// A balanced, healthy meter under load, its values as the meter computes
// them from phasors 120 degrees apart.
rWiringValues Balanced()
{
    rWiringValues v;
    v.VoltsLN = {230, 231, 229};
    v.Amps = {10, 11, 9};
    v.PowerFactor = {0.90, 0.92, 0.88};
    for (int p = 0; p < 3; ++p) {
        const double a = v.VoltsLN[p], b = v.VoltsLN[(p + 1) % 3];
        v.VoltsLL[p] = std::sqrt(a * a + b * b + a * b);
        v.Watts[p] = v.VoltsLN[p] * v.Amps[p] * v.PowerFactor[p];
    }
    v.Frequency = 50;
    return v;
}

struct rValuesCase {
    const char* Name;
    std::function<void(rWiringValues&)> Change;
    const char* Verdicts;
};
void PrintTo(const rValuesCase& row, std::ostream* os) { *os << row.Name; }

class WiringCheckValues : public testing::TestWithParam<rValuesCase> {};

TEST_P(WiringCheckValues, Judged)
{
    rWiringValues v = Balanced();
    GetParam().Change(v);
    std::vector<TCheckVerdict> verdicts;
    for (const rWiringCheck& c : WiringCheck::Check(v)) {
        verdicts.push_back(c.Verdict);
        EXPECT_FALSE(c.Advice.empty()) << c.Name;
    }
    EXPECT_EQ(Letters(verdicts), GetParam().Verdicts);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WiringCheckValues,
    testing::Values(
        rValuesCase{"Balanced", [](rWiringValues&) {}, "PPPPPPPP"},
        rValuesCase{"NoLoad",
                    [](rWiringValues& v) {
                        v.Amps = {0, 0, 0};
                        v.Watts = {0, 0, 0};
                        v.PowerFactor = {1, 1, 1};
                    },
                    "PWWPWPWP"},
        rValuesCase{"ExportOnEveryPhase",
                    [](rWiringValues& v) {
                        for (int p = 0; p < 3; ++p) {
                            v.Watts[p] = -v.Watts[p];
                            v.PowerFactor[p] = -v.PowerFactor[p];
                        }
                    },
                    "PPPPPPPP"},
        rValuesCase{"ReversedCtB", [](rWiringValues& v) { v.Watts[1] = -v.Watts[1]; }, "PPFPPPPP"},
        rValuesCase{"ReversedCtBBehindForcedW",
                    [](rWiringValues& v) {
                        v.Watts[1] = -v.Watts[1];
                        v.ConfigWord = 0x05E6;
                    },
                    "PPWPPPPP"},
        rValuesCase{"NoVoltageAnywhere",
                    [](rWiringValues& v) {
                        v.VoltsLN = v.VoltsLL = v.Watts = {0, 0, 0};
                        v.Frequency = 0;
                    },
                    "FPWWPWWF"},
        rValuesCase{"VoltageUnbalanceWarning", [](rWiringValues& v) { v.VoltsLN[2] = 222; }, "PPPWPPPP"},
        rValuesCase{"FrequencyAtItsLimits", [](rWiringValues& v) { v.Frequency = 45; }, "PPPPPPPP"},
        rValuesCase{"FrequencyAboveItsRange", [](rWiringValues& v) { v.Frequency = 65.01; }, "PPPPPPPF"},
        rValuesCase{"NotANumber", [](rWiringValues& v) { v.PowerFactor[2] = std::nan(""); }, "W"}),
    [](const testing::TestParamInfo<rValuesCase>& info) { return std::string(info.param.Name); });

// The whole utility against a simulated meter wired one way or another.
// The simulator's clock stands still, so the load is the same in every run.
struct rWiringCase {
    const char* Name;
    TWiring Wiring;
    // The configuration word the meter is given before the poll; 0 leaves
    // the factory's, which forces W, VAR and PF absolute.
    uint16_t ConfigWord;
    const char* Verdicts;
    // A phrase the advice of the first failing check holds.
    const char* Advice;
};
void PrintTo(const rWiringCase& row, std::ostream* os) { *os << row.Name; }

// W, VAR and PF signed, no sign reversed.
constexpr uint16_t SignedWord = 0x0500;

struct rOpenWindow {
    TWiringCheckWindow* Window = nullptr;
    QTableWidget* Table = nullptr;
    QLabel* State = nullptr;
};

rOpenWindow OpenWiringCheck(TForm1& form)
{
    for (QAction* menu : form.menuBar()->actions())
        if (menu->menu())
            for (QAction* item : menu->menu()->actions())
                if (item->text().remove(QChar('&')) == "Wiring Check")
                    item->trigger();
    rOpenWindow w;
    w.Window = form.findChild<TWiringCheckWindow*>();
    if (w.Window) {
        w.Table = w.Window->findChild<QTableWidget*>("sgChecks");
        w.State = w.Window->findChild<QLabel*>("labState");
    }
    return w;
}

std::string TableVerdicts(const QTableWidget& table)
{
    std::string s;
    for (int row = 0; row < table.rowCount(); ++row)
        s += table.item(row, 1)->text().at(0).toLatin1();
    return s;
}

QString FirstFailAdvice(const QTableWidget& table)
{
    for (int row = 0; row < table.rowCount(); ++row)
        if (table.item(row, 1)->text() == "FAIL")
            return table.item(row, 3)->text();
    return {};
}

// Polls once and waits until the window shows its checks.
bool PollAndWaitForChecks(TForm1& form, const rOpenWindow& w)
{
    Poller(form).ReadAll();
    return QTest::qWaitFor([&] { return w.Table->rowCount() == 8 && w.Table->isEnabled(); }, 10000);
}

class WiringCheckApp : public testing::TestWithParam<rWiringCase> {};

TEST_P(WiringCheckApp, RecognisedFromOnePoll)
{
    const rWiringCase& row = GetParam();
    TAppHarness app;
    app.meter = std::make_unique<TInProcessSim>(
        rSimSetup{.Units = {1}, .Clock = [] { return 0.0; }, .Wiring = row.Wiring});
    if (row.ConfigWord != 0)
        app.meter->SetRegister(1, 142, row.ConfigWord);
    TForm1& form = app.Start();
    const rOpenWindow w = OpenWiringCheck(form);
    ASSERT_NE(w.Table, nullptr);
    ASSERT_TRUE(w.Window->isVisible());

    ASSERT_TRUE(PollAndWaitForChecks(form, w)) << w.State->text().toStdString();
    EXPECT_EQ(TableVerdicts(*w.Table), row.Verdicts);
    EXPECT_TRUE(FirstFailAdvice(*w.Table).contains(row.Advice)) << FirstFailAdvice(*w.Table).toStdString();
    const QLabel* absolute = w.Window->findChild<QLabel*>("labAbsolute");
    EXPECT_EQ(absolute->isVisible(), row.ConfigWord == 0);
    if (row.ConfigWord == 0) {
        EXPECT_TRUE(absolute->text().contains("reversed CT cannot be seen")) << absolute->text().toStdString();
    }
    if (row.Wiring == TWiring::CrossedVoltage) {
        QCoreApplication::processEvents(); // lets the layout fit the labels' new texts
        EXPECT_TRUE(testsupport::SaveScreenshot(*w.Window, "wiring"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WiringCheckApp,
    testing::Values(rWiringCase{"Healthy", TWiring::Healthy, SignedWord, "PPPPPPPP", ""},
                    rWiringCase{"HealthyFactoryWord", TWiring::Healthy, 0, "PPWPPPPP", ""},
                    rWiringCase{"ReversedCtL2", TWiring::ReversedCtL2, SignedWord, "PPFPPPPP", "CT of B is reversed"},
                    rWiringCase{"ReversedCtL2HiddenByFactoryWord", TWiring::ReversedCtL2, 0, "PPWPPPPP", ""},
                    rWiringCase{"NoCurrentL3", TWiring::NoCurrentL3, 0, "PFWPWPWP", "Phase C carries no current"},
                    rWiringCase{"NoVoltageL1", TWiring::NoVoltageL1, 0, "FPWWPPWP",
                                "Phase A carries current but shows no voltage"},
                    rWiringCase{"Unbalance", TWiring::Unbalance, 0, "PPWFFPPP", "Phase B is furthest"},
                    rWiringCase{"CrossedVoltage", TWiring::CrossedVoltage, 0, "PPWPPFPP", "V B-C is not about"},
                    rWiringCase{"CtWrongPhase", TWiring::CtWrongPhase, 0, "PPWPPPFP", "phase C is far"},
                    rWiringCase{"CtWrongPhaseSigned", TWiring::CtWrongPhase, SignedWord, "PPWPPPFP", "phase C is far"},
                    rWiringCase{"Frequency", TWiring::Frequency, 0, "PPWPPPPF", "outside the range"}),
    [](const testing::TestParamInfo<rWiringCase>& info) { return std::string(info.param.Name); });

// A failed poll leaves the last judgement greyed and says it is stale; the
// next poll that succeeds judges again.
TEST(WiringCheckApp, FailedPollShowsStaleThenRecovers)
{
    TAppHarness app;
    TForm1& form = app.Start();
    const rOpenWindow w = OpenWiringCheck(form);
    ASSERT_NE(w.Table, nullptr);
    ASSERT_TRUE(PollAndWaitForChecks(form, w)) << w.State->text().toStdString();

    const uint16_t port = app.meter->Port();
    app.meter.reset();
    Poller(form).ReadAll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.Table->isEnabled(); }, 10000));
    EXPECT_TRUE(w.State->text().startsWith("Stale")) << w.State->text().toStdString();
    EXPECT_EQ(w.Table->rowCount(), 8);

    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Port = port});
    ASSERT_TRUE(PollAndWaitForChecks(form, w)) << w.State->text().toStdString();
    EXPECT_TRUE(w.State->text().startsWith("From the poll")) << w.State->text().toStdString();
}

} // namespace
