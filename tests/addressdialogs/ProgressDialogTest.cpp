#include "ProgressDialogUnit.h"
#include "WidgetTestSupport.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

TEST(ProgressDialog, CreatedHiddenWithAnEmptyBarOfTen)
{
    TProgressDialog dialog;
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.Progress->minimum(), 0);
    EXPECT_EQ(dialog.Progress->maximum(), 10);
    EXPECT_EQ(dialog.Position(), 0);
    EXPECT_TRUE(dialog.bClose->isHidden());
    EXPECT_EQ(dialog.bClose->text(), "Close");
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST(ProgressDialog, StartShowsAFreshBar)
{
    TProgressDialog dialog;
    dialog.Start("Writing registers", 3);
    dialog.Step();
    dialog.hide();

    dialog.Start("Writing configuration", 5);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.isModal());
    EXPECT_EQ(dialog.Label1->text(), "Writing configuration");
    EXPECT_TRUE(dialog.Label1->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(dialog.Progress->minimum(), 0);
    EXPECT_EQ(dialog.Progress->maximum(), 5);
    EXPECT_EQ(dialog.Position(), 0);
}

TEST(ProgressDialog, StepAdvancesByOneUpToTheMaximum)
{
    TProgressDialog dialog;
    dialog.Start("Writing registers", 3);
    const int expected[] = {1, 2, 3, 3, 3};
    for (int position : expected) {
        dialog.Step();
        EXPECT_EQ(dialog.Position(), position);
    }
}

TEST(ProgressDialog, SetPositionRepaintsAtOnceOnlyWhenTheBarMoves)
{
    TProgressDialog dialog;
    dialog.Start("Writing registers", 10);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QCoreApplication::processEvents();
    PaintCounter paints(dialog.Progress);

    dialog.SetPosition(4);
    EXPECT_EQ(dialog.Position(), 4);
    const int afterMove = paints.count;
    EXPECT_GT(afterMove, 0) << "painted without waiting for the event loop";

    dialog.SetPosition(4);
    EXPECT_EQ(paints.count, afterMove);

    dialog.Step();
    EXPECT_GT(paints.count, afterMove);
    EXPECT_EQ(dialog.Position(), 5);
}

TEST(ProgressDialog, PositionsOutsideTheBarAreKeptWithinIt)
{
    TProgressDialog dialog;
    dialog.Start("Writing registers", 8);
    dialog.SetPosition(20);
    EXPECT_EQ(dialog.Position(), 8);
    dialog.SetPosition(-3);
    EXPECT_EQ(dialog.Position(), 0);
}

TEST(ProgressDialog, AnEmptyJobShowsAnEmptyBarNotABusyOne)
{
    TProgressDialog dialog;
    for (int maximum : {0, -4}) {
        dialog.Start("Nothing to write", maximum);
        EXPECT_EQ(dialog.Progress->minimum(), 0);
        EXPECT_EQ(dialog.Progress->maximum(), 1);
        EXPECT_EQ(dialog.Position(), 0);
    }
}

TEST(ProgressDialog, ClosingHidesTheButtonAndShowsTheBarAgain)
{
    TProgressDialog dialog;
    dialog.Start("Writing registers", 4);
    dialog.bClose->show();
    dialog.Progress->hide();
    QTest::mouseClick(dialog.bClose, Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(dialog.bClose->isHidden());
    EXPECT_FALSE(dialog.Progress->isHidden());

    dialog.Start("Writing registers", 4);
    dialog.bClose->show();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(dialog.bClose->isHidden());
}

TEST(ProgressDialog, ShowsTheCaptionAboveTheBar)
{
    TProgressDialog dialog;
    dialog.Start("Writing register 40142", 10);
    dialog.SetPosition(6);
    EXPECT_TRUE(dialog.Label1->isVisible());
    EXPECT_TRUE(dialog.Progress->isVisible());
    EXPECT_LT(dialog.Label1->geometry().bottom(), dialog.Progress->y());
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "ProgressDialog"));
}

} // namespace
