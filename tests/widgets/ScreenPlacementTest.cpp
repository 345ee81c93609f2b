// FitInto on shown top-level windows: a window is kept within the area,
// frame included, made smaller where needed but never below its minimum
// size, and moved back inside when it reaches past an edge. (FitToScreen on
// a small screen is tested through the dialogs that use it.)

#include "ScreenFit.h"
#include "ScreenPlacement.h"

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
        << testsupport::RectText(window.frameGeometry()).toStdString();

    FitInto(window, Area);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.frameGeometry() == row.Expected; }, 5000))
        << testsupport::RectText(window.frameGeometry()).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, FitIntoTest, ::testing::ValuesIn(FitCases),
                         [](const auto& info) { return std::string(info.param.Name); });
