// FitInto and FitToScreen on shown top-level windows: a window is kept
// within the area, frame included, made smaller where needed but never
// below its minimum size, and moved back inside when it reaches past an edge.

#include "ScreenPlacement.h"

#include <QScreen>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

// Window, Minimum and Expected are of the frame, which the offscreen
// platform draws a few pixels wide around the window.
struct rFitCase {
    const char* Name;
    QRect Window;
    QSize Minimum;
    QRect Expected;
};

void PrintTo(const rFitCase& row, std::ostream* os)
{
    *os << row.Name;
}

class FitIntoTest : public ::testing::TestWithParam<rFitCase> {};

// The area stands for a screen's free part: 400x300 at (100, 50).
const QRect Area(100, 50, 400, 300);

const rFitCase FitCases[] = {
    {"InsideStaysAsItIs", {150, 100, 200, 100}, {}, {150, 100, 200, 100}},
    {"PastTheRightAndBottomMovesBack", {450, 300, 200, 100}, {}, {300, 250, 200, 100}},
    {"PastTheLeftAndTopMovesBack", {0, 0, 200, 100}, {}, {100, 50, 200, 100}},
    {"LargerIsMadeAsLargeAsTheArea", {0, 0, 900, 700}, {}, {100, 50, 400, 300}},
    {"TallerOnlyKeepsItsWidth", {120, 60, 200, 900}, {}, {120, 50, 200, 300}},
    {"WiderThanTheAreaAtItsMinimumKeepsItsLeftEdgeInside", {300, 200, 600, 100}, {600, 100}, {100, 200, 600, 100}},
};

QString Text(const QRect& r)
{
    return QString("%1x%2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

} // namespace

TEST_P(FitIntoTest, KeepsTheWindowInsideTheArea)
{
    const rFitCase& row = GetParam();
    QWidget window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect frame = window.frameGeometry();
    const QRect client = window.geometry();
    const QMargins decoration(client.left() - frame.left(), client.top() - frame.top(),
                              frame.right() - client.right(), frame.bottom() - client.bottom());
    if (row.Minimum.isValid())
        window.setMinimumSize(row.Minimum.shrunkBy(decoration));
    window.setGeometry(row.Window.marginsRemoved(decoration));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.frameGeometry() == row.Window; }, 5000))
        << Text(window.frameGeometry()).toStdString();

    FitInto(window, Area);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.frameGeometry() == row.Expected; }, 5000))
        << Text(window.frameGeometry()).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, FitIntoTest, ::testing::ValuesIn(FitCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FitToScreen, KeepsALargeWindowOnItsScreen)
{
    QWidget window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect area = window.screen()->availableGeometry();
    window.setGeometry(area.x() + 50, area.y() + 50, area.width() * 2, area.height() * 2);
    FitToScreen(window);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.frameGeometry() == area; }, 5000));
}
