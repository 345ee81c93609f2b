#include "UEditIPAddr.h"
#include "UIPAddrUtils.h"
#include "WidgetTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QString RangeMessage = " is not a valid entry. Please specify a value between 0 and 255 for this field.";

class EditIPAddrTest : public testing::Test {
protected:
    void SetUp() override
    {
        auto* layout = new QHBoxLayout(&window);
        layout->addWidget(new QLabel("IP Address", &window));
        ip = new CEditIPAddr(&window);
        layout->addWidget(ip);
        other = new QLineEdit(&window);
        layout->addWidget(other);
        window.show();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        other->setFocus();
    }

    QLineEdit* Field(int b) const { return ip->findChild<QLineEdit*>(QString("ebOctet%1").arg(b)); }
    QLabel* Dot(int i) const { return ip->findChild<QLabel*>(QString("labDot%1").arg(i)); }
    QFrame* Panel() const { return ip->findChild<QFrame*>("pnlBackground"); }

    QStringList Fields() const
    {
        QStringList texts;
        for (int b = 0; b < 4; ++b)
            texts << Field(b)->text();
        return texts;
    }
    void SetFields(const QStringList& texts)
    {
        for (int b = 0; b < 4; ++b)
            Field(b)->setText(texts[b]);
    }
    void FocusField(int b, int caret)
    {
        Field(b)->setFocus();
        Field(b)->setCursorPosition(caret);
    }
    // Each key goes where the focus is at that moment, as a user's would.
    static void Type(const char* keys)
    {
        for (; *keys; ++keys)
            QTest::keyClick(QApplication::focusWidget(), *keys);
    }
    static void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }

    QWidget window;
    CEditIPAddr* ip = nullptr;
    QLineEdit* other = nullptr;
};

TEST_F(EditIPAddrTest, TypingAnAddressAdvancesThroughTheFields)
{
    ip->SetText("10.20.30.40");
    ip->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), Field(0));
    EXPECT_EQ(Field(0)->selectedText(), "10");

    Type("192");
    EXPECT_EQ(QApplication::focusWidget(), Field(1));
    EXPECT_EQ(Field(1)->selectedText(), "20");
    Type("168");
    EXPECT_EQ(QApplication::focusWidget(), Field(2));
    EXPECT_EQ(Field(2)->selectedText(), "30");
    Type("1.");
    EXPECT_EQ(QApplication::focusWidget(), Field(3));
    EXPECT_EQ(Field(3)->selectedText(), "40");
    Type("10");
    EXPECT_EQ(ip->Text(), "192.168.1.10");

    // The last field has nowhere to advance to.
    Field(3)->selectAll();
    Type("255");
    EXPECT_EQ(QApplication::focusWidget(), Field(3));
    EXPECT_EQ(ip->Text(), "192.168.1.255");
}

TEST_F(EditIPAddrTest, PeriodAndSpaceJumpOnlyFromAFilledField)
{
    FocusField(0, 0);
    Type(". ");
    EXPECT_EQ(QApplication::focusWidget(), Field(0)) << "an empty field keeps the focus";
    EXPECT_EQ(Field(0)->text(), "") << "the period is not typed";

    Type("7 ");
    EXPECT_EQ(QApplication::focusWidget(), Field(1));
    Type("8");
    Press(Qt::Key_Period, Qt::KeypadModifier);
    EXPECT_EQ(QApplication::focusWidget(), Field(2));
    Type("9");
    // Some layouts give the keypad's decimal key as a comma.
    Press(Qt::Key_Comma, Qt::KeypadModifier);
    EXPECT_EQ(QApplication::focusWidget(), Field(3));
    Type("6.");
    EXPECT_EQ(QApplication::focusWidget(), Field(3));
    EXPECT_EQ(ip->Text(), "7.8.9.6");
}

TEST_F(EditIPAddrTest, ArrowsCrossTheDotsOnlyAtTheEdgeOfAField)
{
    ip->SetText("1.22.3.44");
    FocusField(1, 2);
    Press(Qt::Key_Right);
    EXPECT_EQ(QApplication::focusWidget(), Field(2));
    EXPECT_EQ(Field(2)->cursorPosition(), 0);

    Press(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), Field(1));
    EXPECT_EQ(Field(1)->cursorPosition(), 2);
    Press(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), Field(1)) << "the caret was inside the field";
    EXPECT_EQ(Field(1)->cursorPosition(), 1);

    FocusField(0, 0);
    Press(Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), Field(0));
    FocusField(3, 2);
    Press(Qt::Key_Right);
    EXPECT_EQ(QApplication::focusWidget(), Field(3));
    EXPECT_EQ(ip->Text(), "1.22.3.44") << "navigation types nothing";
}

TEST_F(EditIPAddrTest, BackspaceAtTheStartOfAFieldEatsIntoThePreviousOne)
{
    ip->SetText("192.168.1.10");
    FocusField(2, 0);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), Field(1));
    EXPECT_EQ(Field(1)->text(), "16");
    EXPECT_EQ(Field(1)->cursorPosition(), 2);
    EXPECT_EQ(Field(2)->text(), "1");
    Press(Qt::Key_Backspace);
    EXPECT_EQ(Field(1)->text(), "1") << "inside the field Backspace works as usual";

    SetFields({"5", "", "7", "8"});
    FocusField(2, 0);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), Field(1)) << "an empty field is entered all the same";
    EXPECT_EQ(Fields(), QStringList({"5", "", "7", "8"}));
}

TEST_F(EditIPAddrTest, BackspaceDeletesASelectionThatStartsTheField)
{
    SetFields({"192", "168", "123", "10"});
    Field(2)->setFocus();
    Field(2)->setSelection(2, -2); // "12", selected backwards: the caret is at 0
    ASSERT_EQ(Field(2)->cursorPosition(), 0);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), Field(2));
    EXPECT_EQ(Fields(), QStringList({"192", "168", "3", "10"}));
}

TEST_F(EditIPAddrTest, OnlyDigitsAreTyped)
{
    FocusField(0, 0);
    Type("a-+/x");
    QTest::keyClick(Field(0), '5', Qt::ShiftModifier);
    QTest::keyClick(Field(0), '5', Qt::AltModifier);
    EXPECT_EQ(Field(0)->text(), "");

    Press(Qt::Key_4, Qt::KeypadModifier);
    Type("2");
    EXPECT_EQ(Field(0)->text(), "42");
    Field(0)->setCursorPosition(0);
    Press(Qt::Key_Delete);
    EXPECT_EQ(Field(0)->text(), "2");
}

TEST_F(EditIPAddrTest, AFieldIsReadOnlyFromAKeyDownToItsKeyUp)
{
    FocusField(1, 0);
    QTest::keyPress(Field(1), Qt::Key_A);
    EXPECT_TRUE(Field(1)->isReadOnly());
    QTest::keyRelease(Field(1), Qt::Key_A);
    EXPECT_FALSE(Field(1)->isReadOnly());

    QTest::keyPress(Field(1), Qt::Key_Shift);
    EXPECT_FALSE(Field(1)->isReadOnly()) << "Shift on its own";
    QTest::keyPress(Field(1), Qt::Key_3, Qt::ShiftModifier);
    EXPECT_TRUE(Field(1)->isReadOnly());
    QTest::keyRelease(Field(1), Qt::Key_3, Qt::ShiftModifier);
    EXPECT_FALSE(Field(1)->isReadOnly());
}

TEST_F(EditIPAddrTest, ATabThatLeavesTheControlDoesNotLockAField)
{
    FocusField(0, 0);
    QTest::keyPress(Field(0), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), other);
    QTest::keyRelease(other, Qt::Key_Tab);
    EXPECT_FALSE(Field(0)->isReadOnly());

    QTest::mouseClick(Field(0), Qt::LeftButton);
    Type("7");
    EXPECT_EQ(Field(0)->text(), "7");
}

TEST_F(EditIPAddrTest, AValueAbove255Becomes255WithAMessage)
{
    struct Row {
        int field;
        const char* keys;
        const char* typed;
    };
    for (const Row row : {Row{0, "300", "300"}, Row{3, "256", "256"}, Row{1, "999", "999"}}) {
        SCOPED_TRACE(row.keys);
        ip->SetText("");
        testsupport::MessageBoxRecorder boxes;
        FocusField(row.field, 0);
        Type(row.keys);
        EXPECT_EQ(Field(row.field)->text(), "255");
        EXPECT_EQ(Field(row.field)->selectedText(), "255");
        EXPECT_EQ(QApplication::focusWidget(), Field(row.field)) << "the user stays in the field";
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, row.typed + RangeMessage);
        EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Critical);
        EXPECT_EQ(boxes.shown[0].buttons, QMessageBox::Ok);
    }
}

TEST_F(EditIPAddrTest, TheMessageQuotesTheTextAsItBecame)
{
    SetFields({"1", "25", "3", "4"});
    testsupport::MessageBoxRecorder boxes;
    FocusField(1, 0);
    Type("9");
    EXPECT_EQ(Field(1)->text(), "255");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "925" + RangeMessage);
}

TEST_F(EditIPAddrTest, TextRoundTrips)
{
    struct Row {
        const char* text;
        QStringList fields;
    };
    const Row rows[] = {
        {"192.168.1.10", {"192", "168", "1", "10"}},
        {"0.0.0.0", {"0", "0", "0", "0"}},
        {"255.255.255.255", {"255", "255", "255", "255"}},
        {"", {"", "", "", ""}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        ip->SetText(row.text);
        EXPECT_EQ(QApplication::focusWidget(), other) << "a program's write leaves the focus alone";
        EXPECT_EQ(Fields(), row.fields);
        EXPECT_EQ(Field(0)->selectedText(), row.fields[0]);
        EXPECT_EQ(ip->Text(), row.text);
    }
}

TEST_F(EditIPAddrTest, ABadWriteFailsAndLeavesTheFields)
{
    ip->SetText("192.168.1.10");
    for (const char* bad : {"192.168.01.10", "1.2.3", "256.1.1.1", "192.168.100.1000", "1.2.3.4.", "a.b.c.d",
                            " 1.2.3.4", "1.2.3.-4"}) {
        SCOPED_TRACE(bad);
        try {
            ip->SetText(bad);
            ADD_FAILURE() << "accepted";
        } catch (const EIPAddrError& e) {
            EXPECT_STREQ(e.what(), "Bad IP address string given to component");
        }
        EXPECT_EQ(Fields(), QStringList({"192", "168", "1", "10"}));
    }
}

TEST_F(EditIPAddrTest, EmptyFieldsReadAsZeroAndShowIt)
{
    SetFields({"10", "", "", "5"});
    EXPECT_EQ(ip->Text(), "10.0.0.5");
    EXPECT_EQ(Fields(), QStringList({"10", "0", "0", "5"}));

    SetFields({"", "", "", ""});
    EXPECT_EQ(ip->Text(), "");
    EXPECT_EQ(Fields(), QStringList({"", "", "", ""}));
}

TEST_F(EditIPAddrTest, AcceptOctalKeepsLeadingZeros)
{
    EXPECT_FALSE(ip->AcceptOctal());
    for (const bool octal : {false, true}) {
        SCOPED_TRACE(octal);
        ip->SetAcceptOctal(octal);
        ip->SetText("1.2.3.4");
        FocusField(0, 0);
        Field(0)->selectAll();
        Type("010");
        const QString expected = octal ? "010" : "10";
        EXPECT_EQ(ip->Text(), expected + ".2.3.4");
        EXPECT_EQ(Field(0)->text(), expected);
    }
}

TEST_F(EditIPAddrTest, ClicksPlaceTheCaret)
{
    ip->SetText("192.168.1.10");
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        other->setFocus();
        QTest::mouseClick(Dot(i), Qt::LeftButton);
        EXPECT_EQ(QApplication::focusWidget(), Field(i));
        EXPECT_EQ(Field(i)->cursorPosition(), Field(i)->text().size());
        EXPECT_FALSE(Field(i)->hasSelectedText());
    }

    other->setFocus();
    QTest::mouseClick(Panel(), Qt::LeftButton, {}, QPoint(Panel()->width() - 1, Panel()->height() / 2));
    EXPECT_EQ(QApplication::focusWidget(), Field(3));
    EXPECT_EQ(Field(3)->cursorPosition(), 2);

    for (int b = 0; b < 4; ++b) {
        QTest::mouseClick(Field(b), Qt::LeftButton, {}, QPoint(2, Field(b)->height() / 2));
        EXPECT_EQ(QApplication::focusWidget(), Field(b));
        EXPECT_EQ(Field(b)->selectedText(), Field(b)->text()) << b;
    }
    // A second click into an already selected field keeps it selected.
    QTest::mouseClick(Field(3), Qt::LeftButton);
    EXPECT_EQ(Field(3)->selectedText(), "10");
}

TEST_F(EditIPAddrTest, FocusEntersAtTheFirstFieldAndLeavesItSelected)
{
    ip->SetText("192.168.1.10");
    ip->setFocus();
    EXPECT_EQ(QApplication::focusWidget(), Field(0));
    EXPECT_EQ(Field(0)->selectedText(), "192");

    FocusField(2, 0);
    Field(0)->deselect();
    other->setFocus();
    EXPECT_EQ(Field(0)->selectedText(), "192");

    // Only the first field is on the tab chain, which here holds just it and
    // the other edit.
    Field(0)->deselect();
    QTest::keyClick(other, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Field(0));
    EXPECT_EQ(Field(0)->selectedText(), "192");
    QTest::keyClick(Field(0), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), other);
    QTest::keyClick(other, Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), Field(0));
}

TEST_F(EditIPAddrTest, DisabledShowsTheButtonFace)
{
    const QColor window = ip->palette().color(QPalette::Active, QPalette::Base);
    const QColor face = ip->palette().color(QPalette::Active, QPalette::Button);
    ASSERT_NE(window, face);
    auto backgrounds = [this] {
        QList<QColor> colours{Panel()->palette().color(QPalette::Window)};
        for (int b = 0; b < 4; ++b)
            colours << Field(b)->palette().color(QPalette::Base);
        for (int i = 0; i < 3; ++i)
            colours << Dot(i)->palette().color(QPalette::Window);
        return colours;
    };
    ip->SetEnabled(false);
    EXPECT_FALSE(Field(2)->isEnabled());
    EXPECT_EQ(backgrounds(), QList<QColor>(8, face));
    ip->SetEnabled(true);
    EXPECT_TRUE(ip->Enabled());
    EXPECT_EQ(backgrounds(), QList<QColor>(8, window));
}

TEST_F(EditIPAddrTest, EveryOctetFitsItsField)
{
    EXPECT_GE(ip->width(), CEditIPAddr::DefaultWidth);
    EXPECT_GE(ip->minimumWidth(), CEditIPAddr::DefaultWidth);
    EXPECT_GE(ip->height(), CEditIPAddr::DefaultHeight);
    for (int b = 0; b < 4; ++b) {
        EXPECT_GE(Field(b)->width(), CEditIPAddr::FieldWidth);
        EXPECT_LE(Field(b)->fontMetrics().horizontalAdvance("255") + 4, Field(b)->width());
        EXPECT_EQ(Field(b)->maxLength(), 3);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(Dot(i)->width(), CEditIPAddr::DotWidth);
        EXPECT_LT(Field(i)->x(), Dot(i)->x());
        EXPECT_LT(Dot(i)->x(), Field(i + 1)->x());
    }

    ip->SetText("192.168.100.255");
    EXPECT_TRUE(testsupport::SaveScreenshot(window, "EditIPAddr"));
    ip->SetEnabled(false);
    EXPECT_TRUE(testsupport::SaveScreenshot(window, "EditIPAddr-disabled"));
}

} // namespace

// A period typed right after the third digit moved on by itself is that
// move: the address lands as typed, over empty fields and over an old one.
TEST_F(EditIPAddrTest, APeriodAfterAnAutomaticMoveIsThatMove)
{
    for (const char* old : {"", "192.255.168.150"}) {
        SCOPED_TRACE(old);
        ip->SetText(old);
        FocusField(0, 0);
        Field(0)->selectAll();
        Type("192.168.1.50");
        EXPECT_EQ(ip->Text(), "192.168.1.50");
        EXPECT_TRUE(ip->Complete());
    }
    // A period that is not right after the move still jumps.
    ip->SetText("");
    FocusField(0, 0);
    Type("192");
    Type("1.2.3");
    EXPECT_EQ(ip->Text(), "192.1.2.3");
}

// A dotted address pasted into any field fills all four; anything else on
// the clipboard pastes nothing.
TEST_F(EditIPAddrTest, PastingADottedAddressFillsEveryField)
{
    ip->SetText("10.20.30.40");
    QGuiApplication::clipboard()->setText(" 192.168.1.50 ");
    FocusField(2, 1);
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ip->Text(), "192.168.1.50");
    QGuiApplication::clipboard()->setText("not an address");
    FocusField(1, 0);
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ip->Text(), "192.168.1.50");
}
