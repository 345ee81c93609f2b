#include "frmTextView.h"

#include "WidgetTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

TEST(TextView, EscapeClosesTheViewerFromTheTextAndFromTheForm)
{
    TTextView view;
    auto* memo = view.findChild<QPlainTextEdit*>("Memo");
    for (QWidget* target : {static_cast<QWidget*>(memo), static_cast<QWidget*>(&view)}) {
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        QTest::keyClick(target, Qt::Key_Escape);
        EXPECT_FALSE(view.isVisible()) << target->objectName().toStdString();
    }
}

TEST(TextView, OtherKeysLeaveItOpen)
{
    TTextView view;
    view.SetText("line");
    view.show();
    auto* memo = view.findChild<QPlainTextEdit*>("Memo");
    QTest::keyClick(memo, Qt::Key_A);
    QTest::keyClick(memo, Qt::Key_Return);
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(memo->toPlainText(), "line"); // a viewer, not an editor
}

TEST(TextView, CopyPutsTheWholeTextOnTheClipboard)
{
    TTextView view;
    const QString text = "first line\nsecond line\n\tthird";
    view.SetText(text);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(view.findChild<QPushButton*>("bSelectAll"), Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), text);
    EXPECT_EQ(view.findChild<QPlainTextEdit*>("Memo")->textCursor().selectedText().size(), text.size());
    testsupport::SaveScreenshot(view, "TextView");
}
