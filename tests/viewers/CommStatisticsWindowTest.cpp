#include "CommStatisticsWindow.h"

#include "CommStatistics.h"
#include "MeterResult.h"
#include "WidgetTestSupport.h"

#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// An exchange of one try per result, each sent and taking roundTripUs.
TExchange Tries(std::initializer_list<int32_t> results, int64_t roundTripUs)
{
    TExchange exchange;
    for (const int32_t result : results) {
        exchange.Attempts.push_back({1700000000000, roundTripUs, "request", "reply", result, "outcome"});
        exchange.Result = result;
    }
    return exchange;
}

QStringList Row(const QTableWidget& table, int row)
{
    QStringList texts;
    for (int column = 0; column < table.columnCount(); ++column)
        texts << (table.item(row, column) ? table.item(row, column)->text() : "(none)");
    return texts;
}

} // namespace

// Two meters' counts as rows, new counts while the window is open, then a
// click on "Reset": zeros and no round trips; Escape closes the window.
TEST(CommStatisticsWindow, ShowsEachMeterAndResetZeroesTheRows)
{
    TCommStatistics statistics;
    const TMeterKey meter1{"/dev/ttyUSB0 19200", 1, "Feeder A"};
    const TMeterKey meter5{"/dev/ttyUSB0 19200", 5, ""};
    // The timed-out try's reply came late and was thrown away.
    TExchange lateThenAnswered = Tries({MeterResult::NoReply, MeterResult::Success}, 12400);
    lateThenAnswered.Attempts.insert(lateThenAnswered.Attempts.begin() + 1,
                                     {0, -1, {}, "reply", MeterResult::Discarded, "Late reply discarded", 700});
    statistics.Add(meter1, lateThenAnswered);
    statistics.Add(meter1, Tries({2}, 85000));
    statistics.Add(meter5, Tries({MeterResult::InvalidFrame}, 300000));

    TCommStatisticsWindow window(statistics);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.windowTitle(), "Communication Statistics");
    EXPECT_TRUE(window.screen()->availableGeometry().contains(window.frameGeometry()));
    auto* table = window.findChild<QTableWidget*>("sgMeters");
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(Row(*table, 0), QStringList({"Feeder A", "/dev/ttyUSB0 19200", "1", "3", "1", "1", "0", "1", "0", "1",
                                           "1", "85", "85"}));
    EXPECT_EQ(Row(*table, 1),
              QStringList({"", "/dev/ttyUSB0 19200", "5", "1", "0", "0", "1", "0", "0", "0", "0", "", ""}));

    statistics.Add(meter5, Tries({MeterResult::Success}, 4200));
    EXPECT_EQ(Row(*table, 1),
              QStringList({"", "/dev/ttyUSB0 19200", "5", "2", "1", "0", "1", "0", "0", "0", "0", "4.2", "4.2"}));
    testsupport::SaveScreenshot(window, "CommStatistics");

    QTest::mouseClick(window.findChild<QPushButton*>("bReset"), Qt::LeftButton);
    EXPECT_EQ(Row(*table, 0),
              QStringList({"Feeder A", "/dev/ttyUSB0 19200", "1", "0", "0", "0", "0", "0", "0", "0", "0", "", ""}));
    EXPECT_EQ(Row(*table, 1),
              QStringList({"", "/dev/ttyUSB0 19200", "5", "0", "0", "0", "0", "0", "0", "0", "0", "", ""}));

    QTest::keyClick(table, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
}
