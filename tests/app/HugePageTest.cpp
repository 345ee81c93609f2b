// The utility with a page file of 20,000 fields (about 1 MB): polling does
// not wait for the page, and the page shows the meter's values once whole.

#include "AppHarness.h"
#include "HugePageFile.h"

#include <QScrollArea>
#include <QLabel>

#include <gtest/gtest.h>

using apptest::Count;
using apptest::Find;
using apptest::Poller;
using apptest::TAppHarness;

// The first pass runs while the page is still building; a field that refers
// to a field not built yet shows no value then, not one computed without
// it. Once the page is whole, each field shows its own register's value.
TEST(HugePage, TheFirstPassRunsWhileThePageBuildsAndTheFieldsShowTheirOwnValuesOnceWhole)
{
    constexpr int Fields = 20000;
    TAppHarness app;
    app.WriteFile("Float.ini", testsupport::HugePageFile(Fields));
    TForm1& form = app.Start();
    const auto whole = [&] { return Find<QScrollArea>(form, "TabFloat")->widget()->objectName() == "SheetFloat"; };
    const auto value = [&](int field) {
        return QLocale().toDouble(app.FieldText(QString("Field %1").arg(field)).trimmed());
    };
    ASSERT_GT(Count(form, "RX"), 0u);
    ASSERT_FALSE(whole()) << "the first pass waited for the page";
    EXPECT_EQ(value(1), 12346);
    EXPECT_EQ(app.FieldText("Field 0"), "-- ");

    ASSERT_TRUE(QTest::qWaitFor(whole, 60000));
    Poller(form).Poll();
    for (const int field : {1, Fields / 2, Fields - 1})
        EXPECT_EQ(value(field), 12345 + field) << field;
    EXPECT_EQ(value(0), 12345) << "the reference to the last field";

    // A click on the page reaches the value box under it, whatever block of
    // fields holds it.
    const QWidget* page = Find<QScrollArea>(form, "TabFloat")->widget();
    for (const TDataField* field : page->findChildren<TDataField*>()) {
        const QPoint box = field->mapTo(page, field->DataPanel()->geometry().center());
        if (field->Caption().endsWith("00")) {
            EXPECT_EQ(page->childAt(box), field->DataPanel()) << field->Caption().toStdString();
        }
    }
}
