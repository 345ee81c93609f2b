// The main window against Modbus/TCP meters that go away, answer late or
// never accept the connection: polling carries on and picks the meter up
// again, the window keeps answering while a pass waits, closing it ends the
// wait, and commands given inside a wait never run a second exchange beside
// the waiting one.

#include "AppHarness.h"
#include "ScriptedServer.h"
#include "frmAddressUnit.h"
#include "frmComSelect.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using apptest::StatusText;
using apptest::Find;
using apptest::TAppHarness;
using apptest::rSimSetup;
using apptest::TInProcessSim;
using apptest::ChoosePort;
using apptest::Commands;
using apptest::Count;
using apptest::Link;
using apptest::Poller;
using apptest::PollingTimer;
using testsupport::MessageBoxRecorder;

namespace {

constexpr rFaultOptions NeverAnswers{1, 0, 0, false};

QString Status(TForm1& form)
{
    return form.Dialogs().frmAddress->labStatus->text();
}

// Records when a timer on the GUI thread fires while it runs.
class GuiTicker {
public:
    GuiTicker()
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { ticks_.push_back(Clock::now()); });
        start_ = Clock::now();
        timer_.start();
    }
    // The longest time without a tick up to now.
    std::chrono::milliseconds LongestGap() const
    {
        Clock::duration longest{};
        auto previous = start_;
        for (auto t : ticks_) {
            longest = std::max(longest, t - previous);
            previous = t;
        }
        longest = std::max(longest, Clock::now() - previous);
        return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
    }
    std::size_t Ticks() const { return ticks_.size(); }

private:
    QTimer timer_;
    Clock::time_point start_;
    std::vector<Clock::time_point> ticks_;
};

// Points the window's link at another port on 127.0.0.1 through the "Port" menu.
void ReopenOn(TForm1& form, uint16_t port)
{
    form.Dialogs().ComSelect->SetTcpPort(port);
    QTimer::singleShot(0, form.Dialogs().ComSelect, [&form] { form.Dialogs().ComSelect->accept(); });
    ChoosePort(form);
}

} // namespace

// A refused connection is one failed exchange: no message box, polling goes
// on showing "NO COMM", and the meter is read again as soon as it answers.
TEST(TcpFaults, AMeterThatGoesAwayIsPickedUpAgainByItself)
{
    TAppHarness app;
    const uint16_t port = app.meter->Port();
    TForm1& form = app.Start();
    Poller(form).Poll();
    ASSERT_EQ(Status(form), "COMM OK!");

    MessageBoxRecorder boxes;
    app.meter.reset(); // connection refused from now on
    PollingTimer(form).setInterval(20);
    PollingTimer(form).start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Status(form) == "NO COMM"; }, 10000));
    EXPECT_TRUE(StatusText(form).endsWith("= Socket Not Connected"))
        << StatusText(form).toStdString();
    EXPECT_EQ(app.FieldText("Freq (Hz)"), "-- ");
    const uint32_t failedTx = Count(form, "TX");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Count(form, "TX") > failedTx + 3; }, 10000)); // polling goes on

    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .Port = port});
    ASSERT_TRUE(QTest::qWaitFor([&] { return Status(form) == "COMM OK!"; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return app.FieldText("Freq (Hz)") != "-- "; }, 10000));
    EXPECT_TRUE(PollingTimer(form).isActive());
    EXPECT_TRUE(boxes.shown.empty()) << boxes.shown[0].text.toStdString();
}

// While every bank waits out its reply timeout, timers still fire and a
// click on a button is answered before the pass ends.
TEST(TcpFaults, TheWindowAnswersWhileAMeterDoesNotReply)
{
    TAppHarness app;
    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .Faults = NeverAnswers});
    TForm1& form = app.Start();
    Clock::time_point added{};
    QTimer::singleShot(100, &form, [&] {
        Find<QLineEdit>(form, "ebName")->setText("Line 9");
        Find<QLineEdit>(form, "ebAddr")->setText("9");
        QTest::mouseClick(Find<QPushButton>(form, "bAdd"), Qt::LeftButton);
        if (Find<QListWidget>(form, "ListView")->count() == 1)
            added = Clock::now();
    });
    GuiTicker ticker;
    Poller(form).Poll(); // three banks of 500 ms each
    const auto passEnd = Clock::now();
    EXPECT_EQ(Status(form), "NO COMM");
    EXPECT_GT(ticker.Ticks(), 50u);
    EXPECT_LT(ticker.LongestGap(), 250ms) << ticker.LongestGap().count() << " ms";
    ASSERT_NE(added, Clock::time_point{});
    EXPECT_GT(passEnd - added, 1s);
}

// A host that never accepts the connection holds each bank for the 5 s
// connect limit; the window answers meanwhile, and closing it ends the wait.
TEST(TcpFaults, ClosingTheWindowEndsAConnectWaitAtOnce)
{
    TAppHarness app;
    TForm1& form = app.Start();
    testsupport::UnansweredListener never;
    ReopenOn(form, never.Port());
    PollingTimer(form).stop();
    QTimer::singleShot(700, &form, [&] { form.close(); });
    GuiTicker ticker;
    const auto t0 = Clock::now();
    Poller(form).Poll();
    const auto elapsed = Clock::now() - t0;
    EXPECT_TRUE(form.Closing());
    EXPECT_GE(elapsed, 650ms);
    EXPECT_LT(elapsed, 2500ms);
    EXPECT_LT(ticker.LongestGap(), 250ms) << ticker.LongestGap().count() << " ms";
}

// The "All" button and a polling tick that come while a pass waits (the
// "Port" menu re-enables the timer) do not start a second pass beside it,
// and the pass ends once the "Port" menu has replaced its link, so that no
// bank of another link's meter joins it: one try in all, and the old link
// lives until the pass is done.
TEST(TcpFaults, NoSecondPassStartsInsideAWait)
{
    TAppHarness app;
    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .Faults = NeverAnswers});
    TInProcessSim answering(rSimSetup{.Units = {1, 2}});
    TForm1& form = app.Start();
    std::weak_ptr<TKelvane> oldLink = Link(form);
    bool nestedDone = false;
    QTimer::singleShot(100, &form, [&] {
        Poller(form).ReadAll();
        PollingTimer(form).setInterval(10);
        ReopenOn(form, answering.Port());
        // A few ticks of the re-enabled timer inside the wait.
        int ticks = 0;
        const auto counter = QObject::connect(&PollingTimer(form), &QTimer::timeout, [&] { ++ticks; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 10000));
        QObject::disconnect(counter);
        nestedDone = true;
    });
    const uint32_t tx = Count(form, "TX");
    Poller(form).Poll();
    EXPECT_TRUE(nestedDone);
    EXPECT_EQ(Count(form, "TX"), tx + 1);
    EXPECT_TRUE(oldLink.expired());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Status(form) == "COMM OK!"; }, 10000));
}

// A write asked for while a pass waits for a slow meter is sent after the
// waiting exchange, not beside it, and reaches the meter.
TEST(TcpFaults, AWriteInsideAWaitWaitsItsTurn)
{
    TAppHarness app;
    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .DelayMs = 300});
    TForm1& form = app.Start();
    bool linkWasBusy = false;
    QTimer::singleShot(100, &form, [&] {
        linkWasBusy = Link(form)->Exchanging();
        Find<QLineEdit>(form, "ebRead")->setText("96");
        Find<QRadioButton>(form, "rbDec")->setChecked(true);
        Find<QCheckBox>(form, "cb32bit")->setChecked(false);
        Find<QLineEdit>(form, "ebWriteValue")->setText("4321");
        Commands(form).WriteSendClick();
    });
    Poller(form).Poll();
    EXPECT_TRUE(linkWasBusy);
    EXPECT_EQ(Status(form), "COMM OK!");
    EXPECT_TRUE(Find<QPlainTextEdit>(form, "ComStatusMemo")->toPlainText().contains("(Measurements) = OK"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return app.meter->Register(1, 150) == 4321; }, 10000));
}

// A target that is not an IP address is said once, when the link is made;
// polling waits for the "Port" menu instead of failing pass after pass.
TEST(TcpFaults, ATargetThatIsNotAnAddressIsReportedOnce)
{
    TAppHarness app;
    {
        // The port dialog takes no half-filled address; the command line can
        // still give none.
        MessageBoxRecorder boxes;
        app.windows = std::make_unique<TKelvaneWindows>(
            app.paths, QStringList{"/MODE=TCP", "/IP=", QString("/TCPPORT=%1").arg(app.meter->Port()),
                                   "/POLLING=600000"});
        app.windows->Form1.show();
        TForm1& form = app.Form();
        PollingTimer(form).setInterval(20);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, "ERROR: Could not connect to  (not an IP address)");
        EXPECT_FALSE(Link(form)->Active());
        EXPECT_FALSE(PollingTimer(form).isActive());
        Poller(form).ReadAll();
        EXPECT_EQ(Status(form), "NO COMM");
        EXPECT_TRUE(StatusText(form).endsWith("= Socket Not Connected")) << StatusText(form).toStdString();
        EXPECT_EQ(boxes.shown.size(), 1u);
    }
    TForm1& form = app.Form();
    form.Dialogs().ComSelect->SetIpText("127.0.0.1");
    ReopenOn(form, app.meter->Port());
    EXPECT_TRUE(PollingTimer(form).isActive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return Status(form) == "COMM OK!"; }, 10000));
}
