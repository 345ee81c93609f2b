#include "AlignMaskEditUnit.h"

#include "WidgetTestSupport.h"

#include <QApplication>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

// Two edits in a window of their own, so that Tab has somewhere to go.
struct EditPair {
    QWidget window;
    TAlignMaskEdit* first = new TAlignMaskEdit;
    TAlignMaskEdit* second = new TAlignMaskEdit;

    EditPair()
    {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(first);
        layout->addWidget(second);
        window.show();
        QApplication::setActiveWindow(&window);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        first->setText("1");
        first->setFocus();
        first->end(false);
    }
};

} // namespace

TEST(AlignMaskEdit, RightAlignedUnlessSet)
{
    TAlignMaskEdit edit;
    EXPECT_EQ(edit.Alignment(), Qt::AlignRight);
    edit.SetAlignment(Qt::AlignHCenter);
    EXPECT_EQ(edit.Alignment(), Qt::AlignHCenter);
}

// Escape takes the typed text back; Tab moves on and keeps it, and a later
// Escape in the field has no unfinished change left to take back.
TEST(AlignMaskEdit, EscapeRevertsAndTabKeepsTheTypedText)
{
    const struct {
        Qt::Key key;
        const char* text;
        bool focusMoved;
    } cases[] = {{Qt::Key_Escape, "1", false}, {Qt::Key_Tab, "12", true}};
    for (const auto& c : cases) {
        EditPair pair;
        QTest::keyClicks(pair.first, "2");
        ASSERT_EQ(pair.first->text(), "12");
        QTest::keyClick(pair.first, c.key);
        EXPECT_EQ(pair.first->text(), c.text) << c.key;
        EXPECT_FALSE(pair.first->isModified()) << c.key;
        EXPECT_EQ(pair.second->hasFocus(), c.focusMoved) << c.key;

        pair.first->setFocus();
        QTest::keyClick(pair.first, Qt::Key_Escape);
        EXPECT_EQ(pair.first->text(), c.text) << c.key;
    }
}

TEST(AlignMaskEdit, EscapeKeepsATextTheProgramSet)
{
    EditPair pair;
    QTest::keyClicks(pair.first, "5");
    pair.first->setText("7"); // the program overrides the user's change
    QTest::keyClick(pair.first, Qt::Key_Escape);
    EXPECT_EQ(pair.first->text(), "7");
    // The same text set again still counts as the program's.
    QTest::keyClicks(pair.first, "8");
    pair.first->setText("78");
    QTest::keyClicks(pair.first, "9");
    QTest::keyClick(pair.first, Qt::Key_Escape);
    EXPECT_EQ(pair.first->text(), "78");
}
