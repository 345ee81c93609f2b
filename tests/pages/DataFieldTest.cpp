#include "DataFieldUnit.h"
#include "OutFormat.h"
#include "WidgetTestSupport.h"

#include <QApplication>
#include <QHelpEvent>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

const QLocale PointLocale(QLocale::English, QLocale::UnitedStates); // 1,234.57
const QLocale CommaLocale(QLocale::German, QLocale::Germany);       // 1.234,57

// A field whose names all resolve through the given function.
struct Field {
    TDataField field;
    explicit Field(const QString& formula, TDataFunction resolver = [](const std::string&) { return 0.0; })
    {
        field.SetLocale(PointLocale);
        field.SetCaption("Volts");
        field.SetFormula(formula);
        field.DataFunction = std::move(resolver);
    }
    QString Shown() const { return field.DataPanel()->text(); }
};

// Rests the pointer on the field's value box, as Qt reports it, and waits
// for the tooltip to show the text.
bool TooltipShows(const TDataField& field, const QString& text)
{
    QLabel* box = field.DataPanel();
    QHelpEvent rest(QEvent::ToolTip, QPoint(2, 2), box->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(box, &rest);
    return QTest::qWaitFor([&] { return QToolTip::isVisible() && QToolTip::text() == text; }, 5000);
}

} // namespace

TEST(DataFieldFormat, DefaultNumberFormatInTwoLocales)
{
    struct Row {
        double x;
        int decimals;
        bool postFix;
        const char* point;
        const char* comma;
    };
    const Row rows[] = {
        {1234.567, 2, false, "1,234.57", "1.234,57"},
        {9999, 2, true, "9,999.00", "9.999,00"},
        {12345678, 2, true, "12.35M", "12,35M"},
        {-15000, 2, true, "-15.00K", "-15,00K"},
        {12.6, 0, false, "13", "13"},
        {-0.001, 2, false, "-0.00", "-0,00"},
        {0.125, 2, false, "0.13", "0,13"},        // an exact half rounds away from zero
        {2.5, 0, false, "3", "3"},
        {1234567.0, 1, false, "1,234,567.0", "1.234.567,0"},
        {5e12, 2, true, "5,000.00G", "5.000,00G"},
        {824716376310651.25, 1, false, "824,716,376,310,651.3", "824.716.376.310.651,3"}, // an exact half
    };
    for (const auto& r : rows) {
        EXPECT_EQ(TValueFormat(PointLocale).Text(r.x, r.decimals, r.postFix, 10000), r.point) << r.x;
        EXPECT_EQ(TValueFormat(CommaLocale).Text(r.x, r.decimals, r.postFix, 10000), r.comma) << r.x;
    }
}

// The field groups integer digits by three in every locale; only the
// separators (and the digits) are the locale's.
TEST(DataField, GroupsThousandsByThreeWithTheLocalesSeparators)
{
    struct Row {
        const char* locale;
        const char* formula;
        int decimals;
        QString shown;
    };
    const Row rows[] = {
        {"es_ES", "1234567.891", 3, "1.234.567,891 "},
        {"es_ES", "1234.5", 2, "1.234,50 "},
        {"en_IN", "1234567.891", 2, "1,234,567.89 "},
        {"en_IN", "-123456789", 0, "-123,456,789 "},
        {"de_CH", "1234567.5", 1, "1\u2019234\u2019567.5 "},
        {"de_DE", "999.999", 2, "1.000,00 "},
        {"en_US", "100000", 0, "100,000 "},
        {"en_US", "12.5", 1, "12.5 "},
        {"ar_EG", "1234567.5", 1, "\u0661\u066C\u0662\u0663\u0664\u066C\u0665\u0666\u0667\u066B\u0665 "},
        // Chakma digits lie outside the Basic Multilingual Plane.
        {"ccp", "1234567.5", 1,
         "\U00011137,\U00011138\U00011139\U0001113A,\U0001113B\U0001113C\U0001113D.\U0001113B "},
    };
    for (const auto& r : rows) {
        Field f(r.formula);
        f.field.SetLocale(QLocale(r.locale));
        f.field.Decimals = r.decimals;
        f.field.DoMath();
        EXPECT_EQ(f.Shown(), r.shown) << r.locale << " " << r.formula;
    }
}

TEST(DataFieldFormat, OutFormatAcceptsOnlyConversionsThatSuitTheValue)
{
    struct Row {
        const char* templ;
        bool whole;
        double value;
        const char* expected; // nullptr: refused
    };
    const Row rows[] = {
        {"%d", true, 42, "42"},
        {"%5d V", true, 42, "   42 V"},
        {"%-5d|", true, -42, "-42  |"},
        {"%05d", true, -42, "-0042"},
        {"%+d", true, 7, "+7"},
        {"%x", true, 255, "ff"},
        {"%#06X", true, 255, "0X00FF"},
        {"%u", true, 3, "3"},
        {"%ld kWh", true, 3000000000.0, "3000000000 kWh"},
        {"%.1f A", false, 42.25, "42.3 A"},
        {"%8.3f", false, -1.5, "  -1.500"},
        {"%e", false, 1500.5, "1.500500e+03"},
        {"100%% %.2f", false, 0.5, "100% 0.50"},
        {"no conversion", true, 1, "no conversion"},
        {"%f", true, 42, nullptr},      // a floating conversion for a whole value
        {"%.1f", true, 42, nullptr},
        {"%d", false, 42.5, nullptr},   // an integer conversion for a floating value
        {"%s", true, 1, nullptr},
        {"%n", true, 1, nullptr},
        {"%p", false, 1.5, nullptr},
        {"%*d", true, 1, nullptr},
        {"%d %d", true, 1, nullptr},
        {"%", true, 1, nullptr},
        {"%999d", true, 1, nullptr},
        {"%.99f", false, 1.5, nullptr},
    };
    for (const auto& r : rows) {
        const auto text = r.whole ? OutFormat::FormatWhole(r.templ, static_cast<int64_t>(r.value), PointLocale)
                                  : OutFormat::FormatFloating(r.templ, r.value, PointLocale);
        if (r.expected) {
            ASSERT_TRUE(text) << r.templ;
            EXPECT_EQ(*text, r.expected) << r.templ;
        } else {
            EXPECT_FALSE(text) << r.templ << " gave " << text->toStdString();
        }
    }
    EXPECT_EQ(*OutFormat::FormatFloating("%.2f", 1.5, CommaLocale), "1,50");
}

TEST(DataField, ShowsFormulaResultsWithTheDisplayBlank)
{
    struct Row {
        const char* formula;
        const char* outFormat;
        const char* shown;
    };
    const Row rows[] = {
        {"1234.567", "", "1,234.57 "},
        {"42.0", "%d", "42 "},
        {"42.5", "%d", "-- "},
        {"42", "%.1f", "-- "},
        {"'kWh'", "", "kWh "},
        {"", "", "N/A"},
        {"1 +", "", "N/A"},
        {"1 DIV 0", "", "-- "},
        {"X", "", "-- "},       // the resolver raises: the name has no value ...
        {"X * 2", "", "-- "},   // ... nor has any formula that uses it
        {"(X * 2) + 1", "", "-- "},
        {"'V ' + X", "", "-- "},
        {"IF(X = 0, 1, 2)", "", "-- "},
        {"X +", "", "N/A"},     // a formula that does not parse stays N/A
    };
    for (const auto& r : rows) {
        Field f(r.formula, [](const std::string& name) -> double {
            if (name == "X")
                throw std::runtime_error("no such register");
            return 0;
        });
        f.field.SetOutFormat(r.outFormat);
        f.field.DoMath();
        EXPECT_EQ(f.Shown(), QString(r.shown)) << r.formula;
    }
}

// The tooltip shows the statistics of the latest evaluation whenever the
// pointer comes to rest on the value box.
TEST(DataField, StatisticsAndTooltip)
{
    Field f("10");
    EXPECT_EQ(f.Shown(), "-- ");
    const double averages[] = {10, 2, 4, 6, 8, 10};
    for (double expected : averages) {
        f.field.DoMath();
        EXPECT_DOUBLE_EQ(f.field.Average, expected);
        EXPECT_DOUBLE_EQ(f.field.Max, 10);
        EXPECT_DOUBLE_EQ(f.field.Min, 10);
    }
    f.field.show();
    EXPECT_TRUE(TooltipShows(f.field, "(Volts) Max: 10.00, Min: 10.00, Avg: 10.00")) << QToolTip::text().toStdString();

    double reading = 5;
    Field g("R", [&](const std::string&) { return reading; });
    g.field.SetLocale(CommaLocale);
    g.field.show();
    for (double r : {5.0, 20.0, -1.0}) {
        reading = r;
        g.field.DoMath();
    }
    EXPECT_DOUBLE_EQ(g.field.Value, -1);
    EXPECT_TRUE(TooltipShows(g.field, "(Volts) Max: 20,00, Min: -1,00, Avg: 3,80")) << QToolTip::text().toStdString();
    g.field.Reset();
    reading = 7;
    g.field.DoMath();
    EXPECT_TRUE(TooltipShows(g.field, "(Volts) Max: 7,00, Min: 7,00, Avg: 7,00")) << QToolTip::text().toStdString();
}

TEST(DataField, FailuresLeaveValueAndStatisticsAlone)
{
    double reading = 3;
    bool fail = false;
    Field f("R", [&](const std::string&) -> double {
        if (fail)
            throw std::runtime_error("gone");
        return reading;
    });
    f.field.DoMath();
    fail = true;
    f.field.DoMath();
    EXPECT_EQ(f.Shown(), "-- ");
    EXPECT_DOUBLE_EQ(f.field.Value, 3);

    // A floating pattern that is not a number is no value.
    fail = false;
    reading = std::numeric_limits<double>::quiet_NaN();
    f.field.DoMath();
    EXPECT_EQ(f.Shown(), "-- ");
    EXPECT_DOUBLE_EQ(f.field.Value, 3);

    f.field.SetFormula("'text'");
    f.field.DoMath();
    EXPECT_EQ(f.Shown(), "text ");
    EXPECT_DOUBLE_EQ(f.field.Value, 3);
    f.field.Blank();
    EXPECT_EQ(f.Shown(), "-- ");
}

TEST(DataField, ResolverMissingSaysSoOnce)
{
    TDataField field;
    field.SetFormula("R0300");
    testsupport::MessageBoxRecorder boxes;
    field.DoMath();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "DataFunction Property not assigned!");
    EXPECT_DOUBLE_EQ(field.Value, 0);
}

TEST(DataField, GeometryAndClick)
{
    TDataField field;
    EXPECT_EQ(field.width(), 150);
    EXPECT_EQ(field.height(), 20);
    field.SetSize(100);
    EXPECT_EQ(field.width(), 175);
    EXPECT_EQ(field.DataPanel()->x(), 75);
    field.SetOffset(0); // Offset already holds 0: nothing moves
    EXPECT_EQ(field.DataPanel()->x(), 75);
    field.SetOffset(40);
    EXPECT_EQ(field.DataPanel()->x(), 40);

    TDataField* clicked = nullptr;
    field.OnClick = [&](TDataField* sender) { clicked = sender; };
    field.show();
    QTest::mouseClick(field.DataPanel(), Qt::LeftButton);
    EXPECT_EQ(clicked, &field);
    clicked = nullptr;
    QTest::mouseClick(&field, Qt::LeftButton, {}, QPoint(5, 5)); // the caption area
    EXPECT_EQ(clicked, nullptr);
}

TEST(DataField, FormulaAndFormatAreCutTo255Characters)
{
    TDataField field;
    field.SetFormula(QString(300, '1'));
    field.SetOutFormat(QString(300, 'x'));
    EXPECT_EQ(field.Formula().size(), 255);
    EXPECT_EQ(field.OutFormat().size(), 255);
}
