#include "AlignMaskEditUnit.h"

#include <QTest>

#include <gtest/gtest.h>

TEST(AlignMaskEdit, RightAlignedUnlessSet)
{
    TAlignMaskEdit edit;
    EXPECT_EQ(edit.Alignment(), Qt::AlignRight);
    edit.SetAlignment(Qt::AlignHCenter);
    EXPECT_EQ(edit.Alignment(), Qt::AlignHCenter);
}

TEST(AlignMaskEdit, EscapeAndTabRevertTheUsersChange)
{
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Tab}) {
        TAlignMaskEdit edit;
        edit.show();
        edit.setFocus();
        edit.setText("1");
        edit.end(false);
        QTest::keyClicks(&edit, "2");
        ASSERT_EQ(edit.text(), "12");
        QTest::keyClick(&edit, key);
        EXPECT_EQ(edit.text(), "1") << key;
        EXPECT_FALSE(edit.isModified());
    }
}

TEST(AlignMaskEdit, EscapeKeepsATextTheProgramSet)
{
    TAlignMaskEdit edit;
    edit.show();
    edit.setText("1");
    QTest::keyClicks(&edit, "5");
    edit.setText("7"); // the program overrides the user's change
    QTest::keyClick(&edit, Qt::Key_Escape);
    EXPECT_EQ(edit.text(), "7");
}
