#include "frmModbusData.h"

#include "KelvaneCOM.h"
#include "WidgetTestSupport.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QByteArray Request = QByteArray::fromHex("01030080001e");
const QByteArray Response = QByteArray::fromHex("010302303900");

QStringList TraceLines(const TModbusData& form)
{
    const QString text = form.findChild<QPlainTextEdit*>("Memo")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

void Click(const TModbusData& form, const char* button)
{
    QTest::mouseClick(form.findChild<QPushButton*>(button), Qt::LeftButton);
}

} // namespace

TEST(ModbusData, EachTransactionAddsFourLines)
{
    TModbusData form;
    form.AddTransaction(Request, Response, 0);
    form.AddTransaction(QByteArray(), QByteArray(), -1);

    const QStringList lines = TraceLines(form);
    const QStringList expected{
        "QRY >" + TKelvane::Hexa(Request),
        "RSP <" + TKelvane::Hexa(Response),
        "   RESULT: " + TKelvane::ErrorCode(0),
        QString(35, '-'),
        "QRY >",
        "RSP <",
        "   RESULT: " + TKelvane::ErrorCode(-1),
        QString(35, '-'),
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(lines[0], "QRY >(01)(03)(00)(80)(00)(1E)");
    EXPECT_EQ(lines[2], "   RESULT: OK");
}

TEST(ModbusData, FreezeHoldsTheTraceOnlyWhileShowing)
{
    TModbusData form;
    QTest::mouseClick(form.findChild<QCheckBox*>("cbFreeze"), Qt::LeftButton);
    ASSERT_TRUE(form.findChild<QCheckBox*>("cbFreeze")->isChecked());

    form.AddTransaction(Request, Response, 0); // hidden: still traced
    EXPECT_FALSE(form.Frozen());
    EXPECT_EQ(TraceLines(form).size(), 4);

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.Frozen());
    form.AddTransaction(Request, Response, 2);
    EXPECT_EQ(TraceLines(form).size(), 4);

    form.close(); // closing only hides the window
    form.AddTransaction(Request, Response, 2);
    EXPECT_EQ(TraceLines(form).size(), 8);
    EXPECT_EQ(TraceLines(form)[6], "   RESULT: Exception: Illegal Data Address");
}

TEST(ModbusData, CopyPutsTheWholeTraceOnTheClipboardAndClearEmptiesIt)
{
    TModbusData form;
    form.show();
    form.AddTransaction(Request, Response, 0);
    form.AddTransaction(Request, QByteArray(), -1);
    QGuiApplication::clipboard()->setText("old");

    Click(form, "Copy");
    const QString copied = QGuiApplication::clipboard()->text();
    EXPECT_EQ(copied.split('\n'), TraceLines(form));
    EXPECT_EQ(copied.count('\n'), 7);
    testsupport::SaveScreenshot(form, "ModbusData");

    Click(form, "Clear");
    EXPECT_TRUE(TraceLines(form).isEmpty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), copied); // the copy survives the clear
    form.AddTransaction(Request, Response, 0);
    EXPECT_EQ(TraceLines(form).size(), 4);
}

TEST(ModbusData, EnterInTheWindowDoesNotClearTheTrace)
{
    TModbusData form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.AddTransaction(Request, Response, 0);
    form.findChild<QPushButton*>("Clear")->setFocus();
    QTest::keyClick(form.findChild<QPlainTextEdit*>("Memo"), Qt::Key_Return);
    EXPECT_EQ(TraceLines(form).size(), 4);
}

TEST(ModbusData, ALongSessionKeepsTheLatestWholeTransactions)
{
    TModbusData form;
    const int transactions = TModbusData::MaxTraceLines / 4 + 3;
    for (int i = 0; i < transactions; ++i)
        form.AddTransaction(QByteArray(1, char(i & 0xFF)), Response, 0);

    const QStringList lines = TraceLines(form);
    ASSERT_EQ(lines.size(), TModbusData::MaxTraceLines);
    // The first line left is the request of transaction 3.
    EXPECT_EQ(lines.front(), "QRY >(03)");
    EXPECT_EQ(lines.back(), QString(35, '-'));
}
