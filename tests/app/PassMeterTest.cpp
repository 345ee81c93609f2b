// A pass reads one meter over one link from its first bank to its last. A
// meter clicked in the list or a link chosen in the "Port" menu while it
// runs ends it: nothing it read is shown under the new meter, traced to its
// trend line or booked to its statistics, and the configuration editor keeps
// the image of the meter the pass read. The window names the meter polled
// after the list from the start, and after the Device Address dialog.

#include "AppHarness.h"

#include "ConfigWordUnit.h"
#include "MessageBoxes.h"
#include "frmAddressUnit.h"
#include "frmComSelect.h"

#include <QCheckBox>
#include <QListWidget>
#include <QTabWidget>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using apptest::ChoosePort;
using apptest::Count;
using apptest::Find;
using apptest::Poller;
using apptest::rSimSetup;
using apptest::Statistics;
using apptest::StatusText;
using apptest::TAppHarness;
using apptest::TInProcessSim;

QString Caption(TForm1& form)
{
    return Find<QTabWidget>(form, "PageControl1")->tabText(0);
}

void ClickMeter(TForm1& form, int row)
{
    auto* list = Find<QListWidget>(form, "ListView");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
}

// Runs cut once, inside the next pass, as soon as the pass has read its
// first bank.
void CutAfterFirstBank(TForm1& form, std::function<void()> cut)
{
    auto* traffic = Find<QPlainTextEdit>(form, "ComStatusMemo");
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(traffic, &QPlainTextEdit::textChanged, traffic, [traffic, connection, cut] {
        if (traffic->toPlainText().isEmpty())
            return;
        QObject::disconnect(*connection);
        QTimer::singleShot(0, traffic, cut);
    });
}

struct rCutRow {
    const char* name;
    bool portMenu;      // the "Port" menu to another meter server; else a click on "Well"
    QString newCaption; // once the cut pass has ended
    QStringList events; // what the windows fed by the poll hear, to the end of the next pass
    int32_t newValue;   // register 150 of the meter read after the cut
};

TEST(PassMeter, APassCutShortBringsNothingToTheNextMeterOrLink)
{
    const rCutRow rows[] = {
        {"meter clicked", false, "Well (Addr: 2)", {"gap", "Well (2)", "ok"}, 2222},
        {"port menu", true, "Pump (Addr: 1)", {"gap", "ok"}, 3333},
    };
    for (const rCutRow& row : rows) {
        SCOPED_TRACE(row.name);
        TAppHarness app;
        // Slow replies, so that the pass is still running when the cut comes.
        app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}, .DelayMs = 150});
        TInProcessSim other(rSimSetup{.Units = {1}});
        app.meter->SetRegister(1, 150, 1111);
        app.meter->SetRegister(2, 150, 2222);
        other.SetRegister(1, 150, 3333);
        app.WriteFile("Meters.ini", "[Pump]\nAddress=1\n[Well]\nAddress=2\n");
        TForm1& form = app.Start();
        TConfigWord& editor = *form.Dialogs().ConfigWord;
        editor.show(); // the technician watches the configuration
        ASSERT_EQ(editor.ReadValues()[150], 1111);
        ASSERT_EQ(Statistics(form).Meters().size(), 1u);
        const int pumpRequests = Statistics(form).Meters()[0].Requests;

        QStringList events;
        QObject::connect(&form, &TForm1::PassCompleted, &form, [&](bool ok) { events << (ok ? "ok" : "gap"); });
        QObject::connect(&form, &TForm1::MeterChanged, &form, [&](const QString& meter) { events << meter; });
        QString captionAtCut;
        CutAfterFirstBank(form, [&] {
            if (row.portMenu) {
                TComSelect& com = *form.Dialogs().ComSelect;
                QTimer::singleShot(0, &com, [&] {
                    com.SetTcpPort(other.Port());
                    com.accept();
                });
                ChoosePort(form);
            } else {
                ClickMeter(form, 1);
            }
            captionAtCut = Caption(form);
        });
        Poller(form).ReadAll();
        EXPECT_EQ(captionAtCut, "Pump (Addr: 1)"); // the pass still reads the meter it began with
        EXPECT_EQ(Caption(form), row.newCaption);
        EXPECT_EQ(app.FieldText("Freq (Hz)"), "-- "); // no value of the cut pass under the new meter
        EXPECT_EQ(editor.ReadValues()[150], 1111);    // nor in the editor
        // The tries of the cut pass are the meter's it read; the next has none yet.
        EXPECT_GT(Statistics(form).Meters()[0].Requests, pumpRequests);
        EXPECT_EQ(Statistics(form).Meters().size(), 1u);

        Poller(form).ReadAll();
        EXPECT_EQ(events, row.events);
        EXPECT_EQ(editor.ReadValues()[150], row.newValue) << editor.UserChanged();
        EXPECT_NE(app.FieldText("Freq (Hz)"), "-- ");
        ASSERT_EQ(Statistics(form).Meters().size(), 2u);
        EXPECT_EQ(Statistics(form).Meters()[1].Requests, 3);
        EXPECT_EQ(Statistics(form).Meters()[1].Meter.Name, row.portMenu ? "Pump" : "Well");
    }
}

// A read the program refuses before sending (a bank of more than 125
// registers) is no frame sent: it counts as a refusal, apart from TX.
TEST(PassMeter, ARefusedReadCountsAsARefusalNotAsAFrameSent)
{
    TAppHarness app;
    app.WriteFile("RegisterBanks.ini", "[Wide]\nName=Wide\nStart=0\nEnd=200\nActive=1\n"
                                       "[Configuration]\nName=Configuration\nStart=128\nEnd=158\nActive=1\n");
    TForm1& form = app.Start();
    Poller(form).ReadAll();
    EXPECT_EQ(Count(form, "TX"), 2u); // the configuration bank of each pass
    EXPECT_EQ(Count(form, "RX"), 2u);
    EXPECT_EQ(StatusText(form, "Refused"), "Refused: 2");
    EXPECT_TRUE(Find<QLabel>(form, "Refused")->isVisibleTo(&form));
    QTest::mouseClick(Find<QPushButton>(form, "bRXTXClear"), Qt::LeftButton);
    EXPECT_FALSE(Find<QLabel>(form, "Refused")->isVisibleTo(&form));
}

// The meter polled is the list's meter at the device address: from the
// start, and after each change in the Device Address dialog.
TEST(PassMeter, TheMeterPolledIsNamedAfterTheListFromTheStartAndAfterDeviceAddress)
{
    TAppHarness app;
    app.WriteFile("Meters.ini", "[Pump]\nAddress=1\n[Well]\nAddress=3\n");
    TForm1& form = app.Start();
    EXPECT_EQ(StatusText(form, "Meter"), "Pump (1)");
    EXPECT_EQ(Caption(form), "Pump (Addr: 1)");
    ASSERT_EQ(Statistics(form).Meters().size(), 1u);
    EXPECT_EQ(Statistics(form).Meters()[0].Meter.Name, "Pump");

    TfrmAddress& address = *form.Dialogs().frmAddress;
    address.show();
    struct Row {
        QCheckBox* box;
        const char* meter;
        const char* caption;
    };
    const Row rows[] = {
        {address.cbAdd2, "Well (3)", "Well (Addr: 3)"},
        {address.cbAdd1, "Address 2", "Address 2"},
    };
    for (const Row& row : rows) {
        QTest::mouseClick(row.box, Qt::LeftButton);
        EXPECT_EQ(StatusText(form, "Meter"), row.meter);
        EXPECT_EQ(Caption(form), row.caption);
    }
}

} // namespace
