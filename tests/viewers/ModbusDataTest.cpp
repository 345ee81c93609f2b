#include "frmModbusData.h"

#include "KelvaneCOM.h"
#include "OneAttempt.h"
#include "ProcessUsage.h"
#include "TraceModel.h"
#include "WidgetTestSupport.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QClipboard>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QGuiApplication>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using testsupport::OneAttempt;

using testsupport::ResidentKb;

const QByteArray Request = QByteArray::fromHex("01030080001e");
const QByteArray Response = QByteArray::fromHex("010302303900");
const QString Rule(35, QChar('-'));

QAbstractItemView& View(const TModbusData& form)
{
    return *form.findChild<QAbstractItemView*>("Memo");
}

// The lines the view shows, read through its model.
QStringList TraceLines(const TModbusData& form)
{
    const QAbstractItemModel& model = *View(form).model();
    QStringList lines;
    for (int row = 0; row < model.rowCount(); ++row)
        lines << model.index(row, 0).data().toString();
    return lines;
}

void Click(const TModbusData& form, const char* button)
{
    QTest::mouseClick(form.findChild<QAbstractButton*>(button), Qt::LeftButton);
}

QString TimeText(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd hh:mm:ss.zzz");
}

// Clicks "Save..." and answers the file dialog with path: false when no
// dialog came.
bool SaveThroughTheDialog(TModbusData& form, const QString& path)
{
    testsupport::TFileDialogAnswer answer(form, path);
    Click(form, "Save");
    return answer.answered;
}

} // namespace

TEST(ModbusData, EachExchangeShowsItsFramesOutcomeTimeAndRoundTrip)
{
    TModbusData form;
    const int64_t sent = QDateTime(QDate(2026, 3, 9), QTime(14, 5, 6, 789)).toMSecsSinceEpoch();
    form.AddTransaction(OneAttempt(Request, Response, 0, {sent, 1540}));
    form.AddTransaction(OneAttempt(QByteArray(), QByteArray(), -1)); // nothing went out
    struct Row {
        int32_t result;
        const char* outcome;
    };
    for (const Row row : {Row{2, "Exception 2: Illegal Data Address"}, Row{-2, "Invalid Response"},
                          Row{7, "Exception 7"}, Row{11, "Exception 11: Gateway Target Device Failed to Respond"}})
        form.AddTransaction(OneAttempt(Request, QByteArray(), row.result, {sent, 500000}));

    const QStringList lines = TraceLines(form);
    ASSERT_EQ(lines.size(), 6 * 4);
    const QStringList first{"QRY >(01)(03)(00)(80)(00)(1E)", "RSP <(01)(03)(02)(30)(39)(00)",
                            "   RESULT: OK   at 2026-03-09 14:05:06.789, round trip 1.5 ms", Rule};
    EXPECT_EQ(lines.mid(0, 4), first);
    EXPECT_EQ(lines.mid(4, 2), (QStringList{"QRY >", "RSP <"}));
    // Without a request sent the line carries the time it was traced.
    const QString traced = lines[6];
    ASSERT_TRUE(traced.startsWith("   RESULT: Timeout   at ")) << traced.toStdString();
    ASSERT_TRUE(traced.endsWith(", no round trip")) << traced.toStdString();
    const QDateTime at = QDateTime::fromString(traced.mid(24, 23), "yyyy-MM-dd hh:mm:ss.zzz");
    EXPECT_LT(std::abs(at.msecsTo(QDateTime::currentDateTime())), 10000) << traced.toStdString();
    const char* outcomes[] = {"Exception 2: Illegal Data Address", "Invalid Response", "Exception 7",
                              "Exception 11: Gateway Target Device Failed to Respond"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(lines[4 * (i + 2) + 2],
                  QString("   RESULT: %1   at %2, round trip 500.0 ms").arg(outcomes[i], TimeText(sent)));
    EXPECT_EQ(form.TraceText(), lines.join('\n') + '\n');
}

TEST(ModbusData, FreezeHoldsTheTraceOnlyWhileShowing)
{
    TModbusData form;
    QTest::mouseClick(form.findChild<QCheckBox*>("cbFreeze"), Qt::LeftButton);
    ASSERT_TRUE(form.findChild<QCheckBox*>("cbFreeze")->isChecked());

    form.AddTransaction(OneAttempt(Request, Response, 0)); // hidden: still traced
    EXPECT_FALSE(form.Frozen());
    EXPECT_EQ(TraceLines(form).size(), 4);

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.Frozen());
    form.AddTransaction(OneAttempt(Request, Response, 2));
    form.AddNote("Writing 0x97=70 refused: Exception: Illegal Data Value");
    EXPECT_EQ(TraceLines(form).size(), 4);

    form.close(); // closing only hides the window
    form.AddTransaction(OneAttempt(Request, Response, 2));
    form.AddNote("Writing 0x97=70 refused: Exception: Illegal Data Value");
    EXPECT_EQ(TraceLines(form).size(), 9);
    EXPECT_TRUE(TraceLines(form)[6].startsWith("   RESULT: Exception 2: Illegal Data Address   at "));
    EXPECT_EQ(TraceLines(form)[8], "Writing 0x97=70 refused: Exception: Illegal Data Value");
}

TEST(ModbusData, CopyTakesTheWholeTraceCtrlCTheSelectedLinesAndClearEmptiesIt)
{
    TModbusData form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.AddTransaction(OneAttempt(Request, Response, 0));
    form.AddTransaction(OneAttempt(Request, QByteArray(), -1));
    QGuiApplication::clipboard()->setText("old");

    Click(form, "Copy");
    const QString copied = QGuiApplication::clipboard()->text();
    EXPECT_EQ(copied, TraceLines(form).join('\n') + '\n');
    EXPECT_EQ(copied.count('\n'), 8);

    // A click on the second exchange's request and a Shift+click on its
    // reply select those two lines.
    QAbstractItemView& view = View(form);
    const QRect request = view.visualRect(view.model()->index(4, 0));
    const QRect reply = view.visualRect(view.model()->index(5, 0));
    ASSERT_TRUE(view.viewport()->rect().contains(reply)) << "the lines are out of sight";
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, request.center());
    QTest::mouseClick(view.viewport(), Qt::LeftButton, Qt::ShiftModifier, reply.center());
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "QRY >(01)(03)(00)(80)(00)(1E)\nRSP <\n");

    Click(form, "Clear");
    EXPECT_TRUE(TraceLines(form).isEmpty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "QRY >(01)(03)(00)(80)(00)(1E)\nRSP <\n");
    form.AddTransaction(OneAttempt(Request, Response, 0));
    EXPECT_EQ(TraceLines(form).size(), 4);
}

TEST(ModbusData, EnterInTheWindowDoesNotClearTheTrace)
{
    TModbusData form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.AddTransaction(OneAttempt(Request, Response, 0));
    form.findChild<QPushButton*>("Clear")->setFocus();
    QTest::keyClick(&View(form), Qt::Key_Return);
    EXPECT_EQ(TraceLines(form).size(), 4);
}

// A full ring of the largest frames, then more: the oldest exchanges make
// room, the failed ones and the notes stay findable under "Failed only",
// and the memory stays bounded.
TEST(ModbusData, ALongSessionKeepsTheLatestExchangesInBoundedMemory)
{
    TModbusData form;
    const long before = ResidentKb();
    const int extra = 10;
    QByteArray query(260, '\x11');
    QByteArray reply(260, '\x22');
    for (int i = 0; i < TTraceModel::Capacity + extra; ++i) {
        query[0] = char(i & 0xFF);
        query[1] = char(i >> 8);
        if (i % 1000 == 999)
            form.AddNote(QString("note %1").arg(i));
        else
            form.AddTransaction(OneAttempt(query, reply, i % 3 == 0 ? 2 : 0));
    }
    const long grown = ResidentKb() - before;
    EXPECT_LT(grown, 30 * 1024) << "resident memory grew by " << grown << " kB";

    // Exchanges 0 ... 9 left; exchange 10 (0x000A) is the oldest kept. Only
    // the lines looked at are rendered.
    const QAbstractItemModel& model = *View(form).model();
    auto line = [&](int row) { return model.index(row, 0).data().toString(); };
    int failedLines = 0;
    for (int i = extra; i < TTraceModel::Capacity + extra; ++i)
        failedLines += i % 1000 == 999 ? 1 : i % 3 == 0 ? 4 : 0;
    const int notes = TTraceModel::Capacity / 1000;
    const int allLines = (TTraceModel::Capacity - notes) * 4 + notes;
    ASSERT_EQ(model.rowCount(), allLines);
    EXPECT_TRUE(line(0).startsWith("QRY >(0A)(00)(11)")) << line(0).toStdString();
    EXPECT_EQ(line(allLines - 1), Rule);

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    Click(form, "cbFailedOnly");
    ASSERT_EQ(model.rowCount(), failedLines);
    // Exchange 12 is the oldest failed one kept (every third fails); 999
    // is the first note.
    EXPECT_TRUE(line(0).startsWith("QRY >(0C)(00)(11)")) << line(0).toStdString();
    EXPECT_TRUE(line(2).startsWith("   RESULT: Exception 2: Illegal Data Address")) << line(2).toStdString();
    const int firstNote = (999 - 12) / 3 * 4; // after the failed exchanges 12 ... 996
    EXPECT_EQ(line(firstNote), "note 999");
    EXPECT_TRUE(line(firstNote + 1).startsWith("QRY >(EA)(03)(11)")) << line(firstNote + 1).toStdString(); // 1002
    // Adding to a full ring under "Failed only" drops the oldest failed lines.
    form.AddTransaction(OneAttempt(Request, Response, 0));  // drops 10: not failed
    form.AddTransaction(OneAttempt(Request, Response, 0));  // drops 11: not failed
    form.AddTransaction(OneAttempt(Request, Response, -1)); // drops 12: failed
    ASSERT_EQ(model.rowCount(), failedLines);
    EXPECT_TRUE(line(0).startsWith("QRY >(0F)(00)(11)")) << line(0).toStdString();
    EXPECT_TRUE(line(failedLines - 2).startsWith("   RESULT: Timeout   at ")) << line(failedLines - 2).toStdString();

    Click(form, "cbFailedOnly");
    EXPECT_EQ(model.rowCount(), allLines);
}

// "Save..." asks for a file name and writes the lines shown; a file that
// cannot be written gets a box that says why.
TEST(ModbusData, SaveWritesTheTraceShownAndAFailedSaveSaysWhy)
{
    testsupport::MessageBoxRecorder boxes;
    QTemporaryDir dir;
    TModbusData form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.AddTransaction(OneAttempt(Request, Response, 0, {1765000000000, 800}));
    form.AddTransaction(OneAttempt(Request, QByteArray(), 2, {1765000000500, 2100}));
    form.AddNote("Writing 0x97=70 refused: Exception: Illegal Data Value");
    Click(form, "cbFailedOnly");

    const QString path = dir.filePath("trace.txt");
    ASSERT_TRUE(SaveThroughTheDialog(form, path));
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(saved.readAll()).split('\n');
    const QStringList expected{"QRY >(01)(03)(00)(80)(00)(1E)", "RSP <",
                               "   RESULT: Exception 2: Illegal Data Address   at " + TimeText(1765000000500) +
                                   ", round trip 2.1 ms",
                               Rule, "Writing 0x97=70 refused: Exception: Illegal Data Value", ""};
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(boxes.shown.empty());

    // Not even root may create a file there.
    const QString unwritable = "/proc/kelvane-trace.txt";
    ASSERT_TRUE(SaveThroughTheDialog(form, unwritable));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.startsWith("The trace could not be saved to " + unwritable + ": "))
        << boxes.shown[0].text.toStdString();
    EXPECT_FALSE(QFile::exists(unwritable));
}
