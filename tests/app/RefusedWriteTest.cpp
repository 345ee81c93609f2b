// A configuration write that the meter refuses, seen through the whole
// utility: the editor's OK, the commit cycle of the next pass, and what the
// technician is shown.

#include "AppHarness.h"
#include "ScriptedServer.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <mutex>

namespace {

using apptest::Memo;
using apptest::Lines;
using apptest::TypeInto;
using apptest::Link;
using apptest::Poller;
using testsupport::Bytes;
using testsupport::ScriptedServer;

// A meter answering over Modbus/TCP from a table of holding registers 0 to
// 1999 (register 133 reads 12345), that stores single-register writes except
// to one register, which it refuses with exception 3 (illegal data value).
class RefusingMeter {
public:
    explicit RefusingMeter(int refused) : refused_(refused)
    {
        registers_[133] = 12345;
    }
    uint16_t Port() const { return server_.Port(); }
    uint16_t Register(int reg)
    {
        const std::lock_guard lock(mutex_);
        return registers_[std::size_t(reg)];
    }

private:
    ScriptedServer::Reply Answer(const Bytes& request)
    {
        if (request.size() < 12)
            return {};
        Bytes reply(request.begin(), request.begin() + 8); // MBAP header, unit, function
        const auto exception = [&reply](uint8_t code) {
            reply[4] = 0;
            reply[5] = 3;
            reply[7] |= 0x80;
            reply.push_back(code);
            return ScriptedServer::Reply{reply};
        };
        const int function = request[7];
        const int address = request[8] << 8 | request[9];
        const int word = request[10] << 8 | request[11];
        const std::lock_guard lock(mutex_);
        if (function == 3) {
            if (word < 1 || word > 125 || address + word > int(registers_.size()))
                return exception(2);
            reply.push_back(uint8_t(2 * word));
            for (int i = 0; i < word; ++i) {
                reply.push_back(uint8_t(registers_[std::size_t(address + i)] >> 8));
                reply.push_back(uint8_t(registers_[std::size_t(address + i)]));
            }
            reply[4] = uint8_t((reply.size() - 6) >> 8);
            reply[5] = uint8_t(reply.size() - 6);
            return {reply};
        }
        if (function == 6) {
            if (address == refused_)
                return exception(3);
            if (address >= int(registers_.size()))
                return exception(2);
            registers_[std::size_t(address)] = uint16_t(word);
            return {request};
        }
        return exception(1);
    }

    const int refused_;
    std::mutex mutex_;
    std::array<uint16_t, 2000> registers_{};
    // Last: its thread answers from the members above.
    ScriptedServer server_{[this](const Bytes& request) { return Answer(request); }};
};

} // namespace

TEST(App, AWriteTheMeterRefusesIsShownWithTheMetersReason)
{
    apptest::TAppHarness app;
    TForm1& form = app.Start();
    RefusingMeter meter(151);
    Link(form)->SetTcpPort(meter.Port());
    Poller(form).Poll();
    ASSERT_EQ(form.Dialogs().frmAddress->labStatus->text(), "COMM OK!");

    TConfigWord& editor = *form.Dialogs().ConfigWord;
    editor.show();
    QApplication::setActiveWindow(&editor);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&editor));
    TypeInto(editor.findChild<QLineEdit*>("ebSP1"), "777");
    TypeInto(editor.findChild<QLineEdit*>("ebSP2"), "70");
    QTest::mouseClick(editor.findChild<QPushButton*>("bOK"), Qt::LeftButton);
    ASSERT_EQ(editor.PendingCommit(), TConfigWord::TPendingCommit::AfterOk);
    Poller(form).Poll();

    EXPECT_EQ(meter.Register(150), 777);
    EXPECT_EQ(meter.Register(151), 0);
    const QString refusal = "Writing 0x97=70 refused: Exception: Illegal Data Value";
    EXPECT_EQ(form.statusBar()->currentMessage(), refusal + "; the meter keeps its old Scratch Pad [1] (register 151)");
    const QStringList trace = form.Dialogs().ModbusData->TraceText().split('\n', Qt::SkipEmptyParts);
    const auto at = trace.indexOf(refusal);
    ASSERT_GE(at, 4) << trace.join('\n').toStdString();
    // The refused write's own frames come first: its request to register
    // 0x97 with the value 70, and the meter's exception reply.
    EXPECT_TRUE(trace[at - 4].startsWith("QRY >")) << trace[at - 4].toStdString();
    EXPECT_TRUE(trace[at - 4].endsWith("(06)(00)(97)(00)(46)")) << trace[at - 4].toStdString();
    EXPECT_TRUE(trace[at - 3].endsWith("(86)(03)")) << trace[at - 3].toStdString();
    EXPECT_TRUE(trace[at - 2].startsWith("   RESULT: Exception 3: Illegal Data Value   at "))
        << trace[at - 2].toStdString();
    EXPECT_TRUE(Lines(Memo(form)).contains(refusal));
    EXPECT_FALSE(Lines(Memo(form)).join('\n').contains("0x96=777 refused"));
    // The commit's re-read brought the meter's values back into the editor.
    EXPECT_EQ(editor.ReadValues()[150], 777);
    EXPECT_EQ(editor.findChild<QLineEdit*>("ebSP2")->text(), "0");
}

// Apply turns the word order round: the next pass's stale first calculation moves no column.
TEST(App, AConfigWordApplyLeavesTheFieldsAsWideAsTheirValues)
{
    apptest::TAppHarness app;
    TForm1& form = app.Start();
    const QWidget* page = apptest::Find<QScrollArea>(form, "TabFloat")->widget();
    const QSize before = page->sizeHint();
    TConfigWord& editor = *form.Dialogs().ConfigWord;
    editor.show();
    QTest::mouseClick(editor.findChild<QWidget*>("cbCW14"), Qt::LeftButton, {}, QPoint(4, 4));
    QTest::mouseClick(editor.findChild<QPushButton*>("bApply"), Qt::LeftButton);
    for (int pass = 0; pass < 3; ++pass) {
        Poller(form).Poll();
        EXPECT_EQ(page->sizeHint(), before) << pass;
    }
    EXPECT_EQ(editor.ReadValues()[142] & 0x2000, 0x2000); // the meter took the new order
}
