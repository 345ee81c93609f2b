#include "frmFactoryTest.h"

#include "KelvaneCOM.h"
#include "ScriptedServer.h"
#include "WidgetTestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

namespace {

// Reference 230 V, 5 A, 100 W, 1150 VA, 1100 VAR, PF 0.5, 50 Hz; the meter
// reads each phase slightly off, and W A is 100.125 against 100.
const TFactoryTest::TValues SampleValues{
    230, 5, 100, 1150, 1100, 0.5, 50,
    230, 230.23, 229.77,  // V
    5, 5.005, 4.995,      // I
    100.125, 100, 99.9,   // W
    1150, 1151.15, 1150,  // VA
    1100, 1100, 1098.9,   // VAR
    0.5, 0.5006, 0.4994,  // PF
    50.05,                // frequency
};

QTableWidget& Grid(const TFactoryTest& form, const char* name)
{
    return *form.findChild<QTableWidget*>(name);
}

QString Cell(const TFactoryTest& form, const char* grid, int column, int row)
{
    const QTableWidgetItem* item = Grid(form, grid).item(row, column);
    return item ? item->text() : QString();
}

QStringList Row(const TFactoryTest& form, const char* grid, int row)
{
    QStringList cells;
    for (int column = 0; column < Grid(form, grid).columnCount(); ++column)
        cells << Cell(form, grid, column, row);
    return cells;
}

QLineEdit& Edit(const TFactoryTest& form, const char* name)
{
    return *form.findChild<QLineEdit*>(name);
}

void Click(const TFactoryTest& form, const char* button)
{
    QTest::mouseClick(form.findChild<QPushButton*>(button), Qt::LeftButton);
}

QStringList ReadLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split("\r\n");
}

} // namespace

TEST(FactoryTest, UpdateValuesFillsTheSheet)
{
    TFactoryTest form;
    form.UpdateValues(SampleValues);

    EXPECT_EQ(Row(form, "DataGrid", 0), QStringList({"", "Standard", "A", "B", "C", "Err A", "Err B", "Err C"}));
    EXPECT_EQ(Row(form, "DataGrid", 1),
              QStringList({"V", "230.0", "230.0", "230.2", "229.8", "0.000%", "0.100%", "-0.100%"}));
    EXPECT_EQ(Row(form, "DataGrid", 3),
              QStringList({"W", "100.000", "100.125", "100.000", "99.900", "0.125%", "0.000%", "-0.100%"}));
    EXPECT_EQ(Row(form, "DataGrid", 4),
              QStringList({"VA", "1150.000", "1150.000", "1151.150", "1150.000", "0.000%", "0.100%", "0.000%"}));
    EXPECT_EQ(Row(form, "DataGrid", 5),
              QStringList({"VAR", "1100.000", "1100.000", "1100.000", "1098.900", "0.000%", "0.000%", "-0.100%"}));
    EXPECT_EQ(Row(form, "DataGrid", 6),
              QStringList({"PF", "0.500", "0.500", "0.501", "0.499", "0.000%", "0.120%", "-0.120%"}));
    EXPECT_EQ(Row(form, "DataGrid", 7), QStringList({"Freq", "50.0", "50.0", "", "", "0.100%", "", ""}));
}

TEST(FactoryTest, PercentErrorAgainstTheReference)
{
    constexpr long double nan = std::numeric_limits<long double>::quiet_NaN();
    constexpr long double inf = std::numeric_limits<long double>::infinity();
    const struct {
        long double standard, measured;
        const char* expected;
    } cases[] = {
        {100.000L, 100.125L, "0.125%"},
        {100, 99.875L, "-0.125%"},
        {-50, -50.5L, "1.000%"},
        {0, 10, ""},    // no reference: no error to show
        {0, 0, ""},
        {nan, 1, ""},
        {1, nan, ""},
        {1, inf, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TFactoryTest::PercentError(c.standard, c.measured), c.expected)
            << double(c.standard) << " " << double(c.measured);
}

TEST(FactoryTest, AZeroReferenceLeavesTheErrorCellsEmpty)
{
    TFactoryTest form;
    TFactoryTest::TValues values = SampleValues;
    values[2] = 0; // reference W
    values[6] = 0; // reference frequency
    form.UpdateValues(values);
    EXPECT_EQ(Row(form, "DataGrid", 3), QStringList({"W", "0.000", "100.125", "100.000", "99.900", "", "", ""}));
    EXPECT_EQ(Cell(form, "DataGrid", 5, 7), "");
    EXPECT_EQ(Cell(form, "DataGrid", 5, 2), "0.000%"); // other rows unaffected
}

TEST(FactoryTest, UpdateRequestsValuesAndEmptiesOnlyTheData)
{
    TFactoryTest form;
    form.show();
    QSignalSpy requests(&form, &TFactoryTest::UpdateRequested);
    form.UpdateValues(SampleValues);
    EXPECT_EQ(form.UpdateTag(), 0);

    Click(form, "Update");
    EXPECT_EQ(form.UpdateTag(), 1);
    EXPECT_EQ(requests.count(), 1);
    for (int row = 1; row < 8; ++row)
        EXPECT_EQ(Row(form, "DataGrid", row).mid(1), QStringList(7, QString())) << row;
    EXPECT_EQ(Row(form, "DataGrid", 0), QStringList({"", "Standard", "A", "B", "C", "Err A", "Err B", "Err C"}));
    EXPECT_EQ(Cell(form, "DataGrid", 0, 7), "Freq");

    form.UpdateValues(SampleValues);
    EXPECT_EQ(form.UpdateTag(), 0);
    EXPECT_EQ(Cell(form, "DataGrid", 5, 3), "0.125%");
}

TEST(FactoryTest, InfoGridTakesTheIdentificationAndTheModel)
{
    TFactoryTest form;
    form.show();
    QTest::keyClicks(&Edit(form, "ebWOModel"), "KV-3");
    form.UpdateInfo("RD-30", "R123", "2.1", "M456", "1.07");
    EXPECT_EQ(Row(form, "InfoGrid", 0), QStringList({"", "Model", "Serial", "SW Version", "Cal Date"}));
    EXPECT_EQ(Row(form, "InfoGrid", 1), QStringList({"Kelvane", "KV-3", "M456", "1.07", ""}));
    EXPECT_EQ(Row(form, "InfoGrid", 2), QStringList({"Radian", "RD-30", "R123", "2.1", ""}));

    // The user's own text in the model cell gives way to "Model:" as soon as
    // the test point is typed.
    Grid(form, "InfoGrid").item(1, 1)->setText("typed");
    QTest::keyClicks(&Edit(form, "Edit1"), "7");
    EXPECT_EQ(Cell(form, "InfoGrid", 1, 1), "KV-3");
}

TEST(FactoryTest, OnlyBodyCellsOfTheInfoGridAreEditable)
{
    TFactoryTest form;
    const QTableWidget& info = Grid(form, "InfoGrid");
    EXPECT_TRUE(info.item(1, 4)->flags() & Qt::ItemIsEditable);  // "Cal Date" is the user's
    EXPECT_FALSE(info.item(0, 4)->flags() & Qt::ItemIsEditable); // headings are fixed
    EXPECT_FALSE(info.item(2, 0)->flags() & Qt::ItemIsEditable);
    EXPECT_EQ(Grid(form, "DataGrid").editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST(FactoryTest, ActivationClearsTheSelection)
{
    TFactoryTest form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTableWidget& data = Grid(form, "DataGrid");
    data.setCurrentCell(3, 5);
    ASSERT_FALSE(data.selectedItems().isEmpty());

    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    EXPECT_TRUE(data.selectedItems().isEmpty());
    EXPECT_EQ(data.currentItem(), nullptr);
}

TEST(FactoryTest, MeterReadingsComeFromTheFloatBlockInEitherWordOrder)
{
    testsupport::LibmodbusServer server;
    const auto putFloat = [&](int slot, float value, bool lowWordFirst) {
        const auto bits = std::bit_cast<uint32_t>(value);
        const auto high = uint16_t(bits >> 16), low = uint16_t(bits & 0xFFFF);
        server.Registers()[768 + 2 * slot] = lowWordFirst ? low : high;
        server.Registers()[769 + 2 * slot] = lowWordFirst ? high : low;
    };
    // Float block slots of V A..C, I A..C, W, VA, VAR, PF and the frequency.
    const int floatSlots[19] = {10, 11, 12, 16, 17, 18, 19, 20, 21, 25, 26, 27, 22, 23, 24, 28, 29, 30, 8};

    for (bool lowWordFirst : {false, true}) {
        server.Registers()[142] = lowWordFirst ? 0x2000 : 0;
        for (int i = 0; i < 19; ++i)
            putFloat(floatSlots[i], float(SampleValues[std::size_t(7 + i)]), lowWordFirst);
        TKelvane meter("127.0.0.1", true);
        meter.SetTcpPort(server.Port());
        const bool abort = false;
        ASSERT_EQ(meter.ReadRegisters(1, 3, 128, 158, abort), 0);
        ASSERT_EQ(meter.ReadRegisters(1, 3, 768, 831, abort), 0);

        const TFactoryTest::TMeterReadings readings = TFactoryTest::MeterReadings(meter);
        for (int i = 0; i < 19; ++i)
            EXPECT_FLOAT_EQ(float(readings[std::size_t(i)]), float(SampleValues[std::size_t(7 + i)]))
                << i << " low word first " << lowWordFirst;

        TFactoryTest form;
        form.UpdateValues({230, 5, 100, 1150, 1100, 0.5, 50}, meter);
        EXPECT_EQ(Cell(form, "DataGrid", 5, 3), "0.125%");
        EXPECT_EQ(Cell(form, "DataGrid", 3, 4), "1151.150");
        EXPECT_EQ(Cell(form, "DataGrid", 2, 7), "50.0");
    }
}

TEST(FactoryTest, LogAppendsBothGridsWithDateAndTime)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("factory.csv");
    TFactoryTest form;
    form.show();
    Edit(form, "ebFileName").setText(path);
    QTest::keyClicks(&Edit(form, "ebWOModel"), "KV-3");
    QTest::keyClicks(&Edit(form, "ebWOHW"), "B");
    QTest::keyClicks(&Edit(form, "Edit1"), "5 A, PF 0.5");
    QTest::keyClicks(&Edit(form, "Edit4"), "4.00");
    QTest::keyClicks(&Edit(form, "Edit5"), "12.00");
    form.UpdateInfo("RD-30", "R\"1\"", "2.1", "M456", "1.07");
    form.UpdateValues(SampleValues);
    testsupport::SaveScreenshot(form, "FactoryTest");

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    Click(form, "Button1");
    Click(form, "Button1");
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    const QStringList lines = ReadLines(path);
    constexpr int RecordLines = 2 + 3 + 8 + 1;
    ASSERT_EQ(lines.size(), 2 * RecordLines + 1); // the last CR LF ends an empty split
    for (int record = 0; record < 2; ++record) {
        const QStringList part = lines.mid(record * RecordLines, RecordLines);
        EXPECT_EQ(part[0], "Date,Time,Test Point,Model,HW Ver,Analog A,Analog B");
        const QStringList fields = part[1].split(',');
        ASSERT_GE(fields.size(), 2);
        const QDateTime stamp = QDateTime::fromString(fields[0] + ' ' + fields[1], "yyyy-MM-dd HH:mm:ss");
        EXPECT_TRUE(stamp >= before && stamp <= after) << part[1].toStdString();
        EXPECT_EQ(fields.mid(2).join(','), "\"5 A, PF 0.5\",KV-3,B,4.00,12.00");
        EXPECT_EQ(part[2], ",Model,Serial,SW Version,Cal Date");
        EXPECT_EQ(part[3], "Kelvane,KV-3,M456,1.07,");
        EXPECT_EQ(part[4], "Radian,RD-30,\"R\"\"1\"\"\",2.1,");
        EXPECT_EQ(part[5], ",Standard,A,B,C,Err A,Err B,Err C");
        EXPECT_EQ(part[8], "W,100.000,100.125,100.000,99.900,0.125%,0.000%,-0.100%");
        EXPECT_EQ(part[12], "Freq,50.0,50.0,,,0.100%,,");
        EXPECT_EQ(part[13], "");
    }
}

TEST(FactoryTest, LogReportsAFileItCannotWrite)
{
    QTemporaryDir dir;
    const QString unwritable[] = {dir.path(), dir.filePath("missing/factory.csv"), ""};
    TFactoryTest form;
    form.show();
    for (const QString& path : unwritable) {
        testsupport::MessageBoxRecorder boxes;
        Edit(form, "ebFileName").setText(path);
        Click(form, "Button1");
        ASSERT_EQ(boxes.shown.size(), 1u) << path.toStdString();
        EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Warning);
        EXPECT_TRUE(path.isEmpty() || boxes.shown[0].text.contains(path)) << boxes.shown[0].text.toStdString();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("missing")));
}

TEST(FactoryTest, TheFileButtonPutsTheChosenNameIntoFile)
{
    QTemporaryDir dir;
    TFactoryTest form;
    form.show();
    Click(form, "FileOpen");
    auto* chooser = form.findChild<QFileDialog*>("SaveDialog");
    ASSERT_TRUE(chooser->isVisible());
    EXPECT_EQ(chooser->defaultSuffix(), "csv");
    chooser->setDirectory(dir.path());
    auto* name = chooser->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    QTest::keyClicks(name, "point1");
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_FALSE(chooser->isVisible());
    EXPECT_EQ(Edit(form, "ebFileName").text(), dir.filePath("point1.csv"));
}
