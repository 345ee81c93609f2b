// The Find Meters window on its own, against simulated meters over
// Modbus/TCP, with a meter list of the test's making: the range it asks
// unless told otherwise, the meters the list already has, "Add all", and
// where the keyboard goes when the window closes.

#include "FindMeters.h"
#include "KelvaneCOM.h"
#include "ProgressDialogUnit.h"
#include "ScreenFit.h"
#include "SimHarness.h"
#include "WidgetTestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

using TMeterList = std::vector<std::pair<QString, int>>;

std::vector<int> FoundAddresses(const TFindMeters& finder)
{
    std::vector<int> addresses;
    for (int i = 0; i < finder.lvFound->topLevelItemCount(); ++i)
        addresses.push_back(finder.lvFound->topLevelItem(i)->text(0).toInt());
    return addresses;
}

QString Remark(const TFindMeters& finder, int row)
{
    return finder.lvFound->topLevelItem(row)->text(4);
}

void Activate(QWidget& window)
{
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

} // namespace

TEST(FindMetersWindow, AsksTheMetersOwnRangeAndAddsEveryMeterTheListLacksOnce)
{
    simharness::TInProcessSim sim({.Units = {1, 2, 7, 63, 64}});
    auto link = std::make_shared<TKelvane>("127.0.0.1", true);
    link->SetTcpPort(sim.Port());
    TMeterList list{{"Boiler room", 2}};

    QWidget opener;
    auto* edit = new QLineEdit(&opener);
    ASSERT_NO_FATAL_FAILURE(Activate(opener));
    edit->setFocus();
    TProgressDialog progress(&opener);
    TFindMeters::THost host{[&] { return link; },
                            nullptr,
                            {},
                            {},
                            [&](const QString& name, int address) {
                                list.emplace_back(name, address);
                                return true;
                            },
                            [&] {
                                std::vector<int> addresses;
                                for (const auto& meter : list)
                                    addresses.push_back(meter.second);
                                return addresses;
                            }};
    auto* finder = new TFindMeters(std::move(host), progress, &opener);
    ASSERT_NO_FATAL_FAILURE(Activate(*finder));
    const QRect area = finder->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(finder->frameGeometry()))
        << "the window " << testsupport::RectText(finder->frameGeometry()).toStdString() << " on the screen "
        << testsupport::RectText(area).toStdString();

    // Unless told otherwise, the meter's own addresses 1 to 63 are asked.
    QTest::mouseClick(finder->bScan, Qt::LeftButton);
    EXPECT_EQ(finder->labScan->text(), "Addresses 1 to 63 asked: 4 Kelvane meters found.");
    ASSERT_EQ(FoundAddresses(*finder), (std::vector<int>{1, 2, 7, 63}));
    EXPECT_EQ(Remark(*finder, 1), "Kelvane meter, already in the meter list");
    finder->lvFound->setCurrentItem(finder->lvFound->topLevelItem(1));
    EXPECT_FALSE(finder->bAddMeter->isEnabled());

    QTest::mouseClick(finder->bAddAll, Qt::LeftButton);
    EXPECT_EQ(list, (TMeterList{{"Boiler room", 2}, {"SN 10001", 1}, {"SN 10007", 7}, {"SN 10063", 63}}));
    EXPECT_EQ(Remark(*finder, 3), "Kelvane meter, in the meter list as \"SN 10063\"");
    EXPECT_FALSE(finder->bAddAll->isEnabled());
    QTest::mouseClick(finder->bAddAll, Qt::LeftButton);
    EXPECT_EQ(list.size(), 4u);

    // A wider range is asked when told; only the meter the list lacks is added.
    finder->ebFirst->setText("60");
    finder->ebLast->setText("247");
    QTest::mouseClick(finder->bScan, Qt::LeftButton);
    ASSERT_EQ(FoundAddresses(*finder), (std::vector<int>{63, 64}));
    EXPECT_EQ(Remark(*finder, 0), "Kelvane meter, already in the meter list");
    QTest::mouseClick(finder->bAddAll, Qt::LeftButton);
    EXPECT_EQ(list.size(), 5u);
    EXPECT_EQ(list.back(), (std::pair<QString, int>{"SN 10064", 64}));

    // Closed from the keyboard, the window gives the keyboard back to the
    // window it was opened from, to the control that had it. (The progress
    // window took the activation while it was shown.)
    ASSERT_NO_FATAL_FAILURE(Activate(*finder));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(finder->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &opener; }, 5000));
    EXPECT_EQ(QApplication::focusWidget(), edit);
}
