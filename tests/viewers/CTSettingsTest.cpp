#include "frmCTSettings.h"

#include "WidgetTestSupport.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

TEST(CTSettings, StartsWithTheDefaultParametersAndTheGridHeadings)
{
    TCTSettings form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.windowTitle(), "Confirm CT Settings");

    const std::pair<const char*, const char*> edits[] = {
        {"ebRatio", "7500"}, {"ebPhase", "-35"}, {"ebRadianMult", "1"}};
    for (const auto& [name, text] : edits)
        EXPECT_EQ(form.findChild<QLineEdit*>(name)->text(), text) << name;
    EXPECT_EQ(form.findChild<QComboBox*>("cbFreq")->currentText(), "60Hz");

    QStringList gains;
    QString checked;
    for (const QRadioButton* item : form.findChild<QGroupBox*>("rgGain")->findChildren<QRadioButton*>()) {
        gains << item->text();
        if (item->isChecked())
            checked += item->text();
    }
    EXPECT_EQ(gains, QStringList({"1", "2", "4", "8"}));
    EXPECT_EQ(checked, "1");

    const auto* grid = form.findChild<QTableWidget*>("Grid");
    QStringList headings;
    for (int column = 0; column < grid->columnCount(); ++column)
        headings << grid->horizontalHeaderItem(column)->text();
    EXPECT_EQ(headings, QStringList({"Date", "Ratio", "Phase"}));
    EXPECT_EQ(grid->rowCount(), 4);
    testsupport::SaveScreenshot(form, "CTSettings");
}
