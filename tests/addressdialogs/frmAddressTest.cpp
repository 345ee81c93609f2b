#include "frmAddressUnit.h"
#include "WidgetTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <array>

namespace {

std::array<QCheckBox*, 6> Boxes(const TfrmAddress& dialog)
{
    return {dialog.cbAdd32, dialog.cbAdd16, dialog.cbAdd8, dialog.cbAdd4, dialog.cbAdd2, dialog.cbAdd1};
}

// The ticked boxes as a string of 0s and 1s, from cbAdd32 to cbAdd1.
QString Ticks(const TfrmAddress& dialog)
{
    QString ticks;
    for (const QCheckBox* box : Boxes(dialog))
        ticks += box->isChecked() ? '1' : '0';
    return ticks;
}

TEST(frmAddress, StartsAtAddressOneWithNoComm)
{
    TfrmAddress dialog;
    EXPECT_EQ(dialog.windowTitle(), "Change / Check Address");
    EXPECT_EQ(Ticks(dialog), "000001");
    EXPECT_EQ(dialog.GetAddress(), 1);
    EXPECT_EQ(dialog.ebAddress->text(), "   1");
    EXPECT_TRUE(dialog.ebAddress->isReadOnly());
    EXPECT_EQ(dialog.labStatus->text(), "NO COMM");
    EXPECT_EQ(dialog.labStatus->font().pixelSize(), 19);
    EXPECT_TRUE(dialog.labStatus->alignment() & Qt::AlignHCenter);
}

// Each weight stands above its box, the boxes run 32 down to 1 from left to
// right, and the address follows them.
TEST(frmAddress, WeightsStandAboveTheirBoxesInOrder)
{
    TfrmAddress dialog;
    dialog.show();
    const int weights[] = {32, 16, 8, 4, 2, 1};
    int previousX = -1;
    for (int i = 0; i < 6; ++i) {
        QCheckBox* box = Boxes(dialog)[i];
        const QPoint boxCentre = box->geometry().center();
        EXPECT_GT(boxCentre.x(), previousX);
        previousX = boxCentre.x();
        QLabel* label = nullptr;
        for (QLabel* candidate : dialog.findChildren<QLabel*>())
            if (candidate->text() == QString::number(weights[i]))
                label = candidate;
        ASSERT_NE(label, nullptr) << weights[i];
        EXPECT_LT(label->geometry().bottom(), box->geometry().top());
        EXPECT_LE(std::abs(label->geometry().center().x() - boxCentre.x()), 2) << weights[i];
    }
    EXPECT_GT(dialog.ebAddress->x(), previousX);
    EXPECT_GT(dialog.labStatus->y(), dialog.cbAdd1->geometry().bottom());
    EXPECT_GT(dialog.BitBtn1->y(), dialog.labStatus->geometry().bottom());
}

TEST(frmAddress, ClickingTheBoxesMakesUpTheAddress)
{
    TfrmAddress dialog;
    dialog.show();
    QTest::mouseClick(dialog.cbAdd16, Qt::LeftButton);
    EXPECT_EQ(dialog.GetAddress(), 17);
    EXPECT_EQ(dialog.ebAddress->text(), "   17");

    // Clearing every box gives address 0.
    for (QCheckBox* box : Boxes(dialog))
        if (box->isChecked())
            QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(dialog.GetAddress(), 0);
    EXPECT_EQ(dialog.ebAddress->text(), "   0");

    for (QCheckBox* box : Boxes(dialog))
        QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(dialog.GetAddress(), 63);
    EXPECT_EQ(dialog.ebAddress->text(), "   63");
}

TEST(frmAddress, SetAddressTicksTheBitsOfEveryValidAddress)
{
    TfrmAddress dialog;
    dialog.SetAddress(17);
    EXPECT_EQ(Ticks(dialog), "010001");
    EXPECT_EQ(dialog.ebAddress->text(), "   17");
    dialog.SetAddress(63);
    EXPECT_EQ(Ticks(dialog), "111111");
    dialog.SetAddress(32);
    EXPECT_EQ(Ticks(dialog), "100000");

    for (int address = 1; address <= 63; ++address) {
        dialog.SetAddress(address);
        ASSERT_EQ(dialog.GetAddress(), address);
        ASSERT_EQ(dialog.ebAddress->text(), "   " + QString::number(address));
    }
}

TEST(frmAddress, SetAddressIgnoresValuesOutsideOneTo63)
{
    TfrmAddress dialog;
    dialog.SetAddress(5);
    for (int address : {0, -1, 64, 65, 100, 247, -64}) {
        SCOPED_TRACE(address);
        dialog.ebAddress->setText("stale");
        dialog.SetAddress(address);
        EXPECT_EQ(Ticks(dialog), "000101");
        EXPECT_EQ(dialog.ebAddress->text(), "   5") << "the text is refreshed all the same";
    }
}

TEST(frmAddress, ClosingOnlyHidesAndKeepsTheState)
{
    TfrmAddress dialog;
    QPointer<TfrmAddress> alive(&dialog);
    dialog.SetAddress(9);
    dialog.labStatus->setText("COMM OK!");
    dialog.show();
    EXPECT_EQ(dialog.BitBtn1->text(), "&Close");
    QTest::mouseClick(dialog.BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());

    dialog.show();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());

    dialog.show();
    EXPECT_TRUE(alive);
    EXPECT_EQ(dialog.GetAddress(), 9);
    EXPECT_EQ(dialog.labStatus->text(), "COMM OK!");
}

TEST(frmAddress, ShowingCentresOnTheScreen)
{
    TfrmAddress dialog;
    dialog.show();
    const QRect screen = dialog.screen()->geometry();
    const QPoint centred(screen.left() + screen.width() / 2 - dialog.width() / 2,
                         screen.top() + screen.height() / 2 - dialog.height() / 2);
    EXPECT_EQ(dialog.pos(), centred);

    dialog.hide();
    dialog.move(3, 4);
    dialog.show();
    EXPECT_EQ(dialog.pos(), centred);

    dialog.SetAddress(17);
    dialog.labStatus->setText("COMM OK!");
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "frmAddress"));
}

} // namespace
