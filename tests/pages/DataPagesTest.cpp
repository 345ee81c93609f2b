#include "DataPages.h"
#include "KelvaneCOM.h"
#include "ScriptedServer.h"
#include "WidgetTestSupport.h"

#include <QApplication>
#include <QFile>
#include <QHelpEvent>
#include <QMenu>
#include <QTabWidget>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstring>
#include <limits>
#include <map>

using testsupport::LibmodbusServer;

namespace {

const bool NoAbort = false;

class FakeWriteBox : public TRegisterWriteBox {
public:
    void SetRegisterText(const QString& text) override { reg = text; }
    QString RegisterText() const override { return reg; }
    void SetValueText(const QString& text) override { value = text; }
    void SelectDecimal() override { decimal = true; }
    QString reg, value;
    bool decimal = false;
};

// A page control, a meter behind a Modbus/TCP link, and the page files of a
// temporary application directory.
class DataPagesTest : public ::testing::Test {
protected:
    DataPagesTest()
    {
        link->SetTcpPort(server.Port());
        pages.SetLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        pages.SetWriteBox(&writeBox);
    }

    void WritePage(const QString& name, const QByteArray& content)
    {
        QFile f(dir.filePath(name + ".ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    // Reads the registers the tests use into the image.
    void Poll()
    {
        ASSERT_EQ(link->ReadRegisters(1, 3, 0, 124, NoAbort), 0);
        ASSERT_EQ(link->ReadRegisters(1, 3, 128, 162, NoAbort), 0);
        ASSERT_EQ(link->ReadRegisters(1, 3, 256, 260, NoAbort), 0);
        ASSERT_EQ(link->ReadRegisters(1, 3, 768, 892, NoAbort), 0);
    }

    void SetFloat(int reg, float value, bool lowWordFirst)
    {
        const auto bits = std::bit_cast<uint32_t>(value);
        server.Registers()[reg] = static_cast<uint16_t>(lowWordFirst ? bits : bits >> 16);
        server.Registers()[reg + 1] = static_cast<uint16_t>(lowWordFirst ? bits >> 16 : bits);
    }

    double Eval(const char* formula)
    {
        TDataField field;
        field.SetFormula(formula);
        field.DataFunction = [this](const std::string& n) { return pages.DataFunctions(n); };
        field.Value = -12345;
        field.DoMath();
        return field.Value;
    }

    QString Shown(int i) const { return pages.DataFields().at(i)->DataPanel()->text(); }

    LibmodbusServer server;
    std::unique_ptr<TKelvane> link = std::make_unique<TKelvane>("127.0.0.1", true);
    QTemporaryDir dir;
    QTabWidget pageControl;
    TDataPages pages{pageControl, [this] { return link.get(); }, dir.path()};
    FakeWriteBox writeBox;
};

} // namespace

TEST_F(DataPagesTest, BuildsFieldsInFileOrderWithDefaults)
{
    WritePage("Float", "[Zed]\nFormula=2\nTop=$10\nLeft=0x20\nSize=100\n[~~info~~]\nname=Measurements\n"
                       "[Alpha]\n[Named]\nName=FVOLTS\nFormula=FLOAT0 * 3\nDecimals=1\nExtra=1A\nOffset=bad\n");
    pages.CreatePanel("Float");
    pages.CreatePanel("Missing"); // no file: no page, no message
    ASSERT_EQ(pageControl.count(), 1);
    EXPECT_EQ(pageControl.widget(0)->objectName(), "TabFloat");
    EXPECT_EQ(pageControl.tabText(0), "Measurements");
    ASSERT_EQ(pages.DataFields().size(), 3u);
    const TDataField* zed = pages.DataFields()[0];
    EXPECT_EQ(zed->Caption(), "Zed");
    EXPECT_EQ(zed->objectName(), "Float0");
    EXPECT_EQ(zed->pos(), QPoint(32, 16));
    EXPECT_EQ(zed->width(), 175);
    EXPECT_EQ(zed->toolTip(), "Array Location: 0");
    const TDataField* alpha = pages.DataFields()[1];
    EXPECT_EQ(alpha->objectName(), "Float1");
    EXPECT_EQ(alpha->Formula(), "1");
    EXPECT_EQ(alpha->pos(), QPoint(0, 0));
    EXPECT_EQ(alpha->Offset(), 75);
    EXPECT_EQ(pages.DataFields()[2]->Offset(), 75); // not an integer: the default

    pages.DataCalculate();
    EXPECT_EQ(Shown(0), "2.00 ");
    EXPECT_EQ(Shown(1), "1.00 ");
    EXPECT_EQ(Shown(2), "6.0 ");
}

TEST_F(DataPagesTest, PagesWithoutFieldsOrWithoutInfo)
{
    WritePage("Empty", "[~~INFO~~]\nName=Nothing here\n");
    WritePage("Plain", "[One]\n");
    pages.CreatePanel("Empty");
    pages.CreatePanel("Plain");
    ASSERT_EQ(pageControl.count(), 2);
    EXPECT_EQ(pageControl.tabText(0), "Nothing here");
    EXPECT_EQ(pageControl.tabText(1), "Plain");
    EXPECT_EQ(pages.DataFields().size(), 1u);
    EXPECT_EQ(pages.DataFields()[0]->objectName(), "Plain0");
}

TEST_F(DataPagesTest, DamagedFilesNeverCrashTheBuilder)
{
    QByteArray binary;
    for (int i = 0; i < 20000; ++i)
        binary += static_cast<char>((i * 131 + 7) & 0xFF);
    WritePage("Binary", binary);
    WritePage("Empty", "");
    WritePage("Broken", "[Field\nFormula=(((\n[Ok]\nFormula=1 +\nSize=-5\nDecimals=99999\nFormat=%n%s\n");
    for (const char* page : {"Binary", "Empty", "Broken"})
        pages.CreatePanel(page); // a name may be reported unusable
    pages.DataCalculate();
    pages.DataReset();
    EXPECT_EQ(pageControl.count(), 3);
    for (const TDataField* f : pages.DataFields())
        EXPECT_EQ(f->DataPanel()->text(), "-- ");
}

TEST_F(DataPagesTest, UnusableFieldNamesAreReportedOnce)
{
    WritePage("Float", "[A]\nName=FA\n[B]\nName=fa\n[C]\nName=1st\n[D]\nName=F D\n[E]\n");
    const QString text = pages.CreatePanel("Float").join('\n');
    EXPECT_TRUE(text.contains("\"fa\" (field \"B\") repeats a name")) << text.toStdString();
    EXPECT_TRUE(text.contains("\"1st\" (field \"C\") is not a name"));
    EXPECT_TRUE(text.contains("\"F D\" (field \"D\") is not a name"));
    EXPECT_FALSE(text.contains("\"FA\""));
    EXPECT_EQ(pages.DataFields().size(), 5u); // the page still loads
}

TEST_F(DataPagesTest, RegisterReferences)
{
    server.Registers()[768] = 0x0001;
    server.Registers()[769] = 0x0002;
    server.Registers()[16] = 0x8001;
    server.Registers()[256] = 0x1234;
    server.Registers()[160] = 0xFFFF; // a signed configuration register
    Poll();
    EXPECT_DOUBLE_EQ(Eval("R0300"), 0x00010002);
    EXPECT_DOUBLE_EQ(Eval("R40769"), 0x00010002);
    EXPECT_DOUBLE_EQ(Eval("U0010"), 0x8001);
    EXPECT_DOUBLE_EQ(Eval("S0010"), -32767);
    EXPECT_DOUBLE_EQ(Eval("S00A0"), -1);
    EXPECT_DOUBLE_EQ(Eval("U00A0"), 65535);
    EXPECT_DOUBLE_EQ(Eval("K1"), 0);
    EXPECT_DOUBLE_EQ(Eval("TRUNC(U0100) AND $FF"), 0x34);
    EXPECT_DOUBLE_EQ(Eval("U0100 AND $FF"), -12345); // every resolved name is a Float
    EXPECT_DOUBLE_EQ(Eval("U123456789"), 0);         // beyond the image
    EXPECT_DOUBLE_EQ(Eval("UFFFFFFFFFFFF"), 0);

    server.Registers()[768] = 0xFFFF;
    server.Registers()[769] = 0xFFFE;
    Poll();
    EXPECT_DOUBLE_EQ(Eval("R0300"), 4294967294.0);
    EXPECT_DOUBLE_EQ(Eval("Q0300"), -2);
}

TEST_F(DataPagesTest, WordOrderFollowsTheConfigurationWord)
{
    for (bool lowFirst : {false, true}) {
        server.Registers()[142] = lowFirst ? 0x2000 : 0x05E6;
        SetFloat(768, 230.5f, lowFirst);
        server.Registers()[770] = lowFirst ? 0x0002 : 0x0001;
        server.Registers()[771] = lowFirst ? 0x0001 : 0x0002;
        Poll();
        EXPECT_DOUBLE_EQ(Eval("X0300"), 230.5) << lowFirst;
        EXPECT_DOUBLE_EQ(Eval("R0302"), 0x00010002) << lowFirst;
    }
}

TEST_F(DataPagesTest, FieldReferencesAndSelfReference)
{
    WritePage("Float", "[Base]\nFormula=10\n[Double]\nFormula=FLOAT0 * 2\n"
                       "[Self]\nName=FSELF\nFormula=FSELF + 1\n"
                       "[PingA]\nName=FPING\nFormula=FPONG + 1\n[PongA]\nName=FPONG\nFormula=FPING + 1\n");
    pages.CreatePanel("Float");
    pages.DataCalculate();
    EXPECT_EQ(Shown(1), "20.00 ");
    // A referenced field is evaluated again, so its statistics advance twice.
    EXPECT_DOUBLE_EQ(pages.DataFields()[0]->Average, 10.0 / 5);
    // A field that refers to itself takes its own current value.
    EXPECT_EQ(Shown(2), "1.00 ");
    pages.DataCalculate();
    EXPECT_EQ(Shown(2), "2.00 ");
    // A cycle through two fields ends as well.
    EXPECT_NE(Shown(3), "-- ");
    EXPECT_NE(Shown(4), "-- ");
    EXPECT_DOUBLE_EQ(Eval("FNOSUCH"), 0);
}

// A field whose latest evaluation gave no value (a meter float that is not a
// number, a text) gives none to the fields that refer to it, however the
// reference is used; they show "-- " until it has a value again. A field in a
// cycle still takes the current Value of the field it comes back to.
TEST_F(DataPagesTest, AReferenceToAFieldWithoutValueHasNoValue)
{
    WritePage("Float", "[S tot]\nName=FS\nFormula=X0306\n[P tot]\nName=FP\nFormula=X0302\n"
                       "[PF]\nName=FPF\nFormula=FP / FS\n[PF %]\nFormula=(FP / FS) * 100\n"
                       "[PF guarded]\nFormula=IF(FS <> 0, FP / FS, 0)\n[Bare]\nFormula=FS\n"
                       "[Text]\nFormula=STRING(FS)\n[Chain]\nFormula=FPF * 2\n"
                       "[Counter]\nName=FACC\nFormula=FACC + 1\n"
                       "[Ping]\nName=FPING\nFormula=FPONG + FS\n[Pong]\nName=FPONG\nFormula=FPING + 1\n"
                       "[Unit]\nName=FUNIT\nFormula='kWh'\n[Of unit]\nFormula=FUNIT + 1\n");
    pages.CreatePanel("Float");
    struct Row {
        const char* caption;
        const char* withS;    // S tot is 4000
        const char* withoutS; // S tot is not a number
    };
    const Row rows[] = {
        {"S tot", "4,000.00 ", "-- "},
        {"P tot", "2,000.00 ", "2,000.00 "},
        {"PF", "0.50 ", "-- "},
        {"PF %", "50.00 ", "-- "},
        {"PF guarded", "0.50 ", "-- "},
        {"Bare", "4,000.00 ", "-- "},
        {"Text", "4000 ", "-- "},
        {"Chain", "1.00 ", "-- "},
        {"Counter", "1.00 ", "2.00 "},
        {"Ping", "4,001.00 ", "-- "},
        {"Pong", "4,002.00 ", "-- "},
        {"Unit", "kWh ", "kWh "},
        {"Of unit", "-- ", "-- "},
    };
    auto shown = [this] {
        std::map<QString, QString> byCaption;
        for (const TDataField* f : pages.DataFields())
            byCaption[f->Caption()] = f->DataPanel()->text();
        return byCaption;
    };
    SetFloat(770, 2000, false);
    SetFloat(774, 4000, false);
    Poll();
    pages.DataCalculate();
    const auto before = shown();
    SetFloat(774, std::numeric_limits<float>::quiet_NaN(), false);
    Poll();
    pages.DataCalculate();
    const auto after = shown();
    for (const auto& r : rows) {
        EXPECT_EQ(before.at(r.caption), QString(r.withS)) << r.caption;
        EXPECT_EQ(after.at(r.caption), QString(r.withoutS)) << r.caption;
    }
    EXPECT_DOUBLE_EQ(pages.DataFields()[2]->Value, 0.5); // kept, not shown

    SetFloat(774, 5000, false);
    Poll();
    pages.DataCalculate();
    EXPECT_EQ(shown().at("PF"), "0.40 ");
}

// The page parses its formulas when it is built, before any register is
// read; every pass computes them with the register image of that pass. The
// IF row is the one whose kind an operator takes from the IF's branch, which
// follows the register.
TEST_F(DataPagesTest, EachPassComputesWithTheImageOfThatPass)
{
    WritePage("Float", "[Volts]\nName=FV\nFormula=X0300 * 2\n[Sum]\nFormula=U0010 + S0011\n"
                       "[Kind]\nFormula=IF(U0010 > 5, 1.5, 2) + 1\n[Ref]\nFormula=FV + 1\n"
                       "[Text]\nFormula=IF(U0010 > 5, 'high', 'low')\n");
    pages.CreatePanel("Float");
    struct Row {
        const char* caption;
        const char* first;  // X0300 230.5, U0010 3, S0011 -1
        const char* second; // X0300 100.25, U0010 9, S0011 2
    };
    const Row rows[] = {
        {"Volts", "461.00 ", "200.50 "},
        {"Sum", "2.00 ", "11.00 "},
        {"Kind", "3.00 ", "2.50 "},
        {"Ref", "462.00 ", "201.50 "},
        {"Text", "low ", "high "},
    };
    auto pass = [this](float volts, uint16_t u10, uint16_t s11) {
        SetFloat(768, volts, false);
        server.Registers()[0x10] = u10;
        server.Registers()[0x11] = s11;
        Poll();
        pages.DataCalculate();
        std::map<QString, QString> byCaption;
        for (const TDataField* f : pages.DataFields())
            byCaption[f->Caption()] = f->DataPanel()->text();
        return byCaption;
    };
    const auto first = pass(230.5f, 3, 0xFFFF);
    const auto second = pass(100.25f, 9, 2);
    for (const auto& r : rows) {
        EXPECT_EQ(first.at(r.caption), QString(r.first)) << r.caption;
        EXPECT_EQ(second.at(r.caption), QString(r.second)) << r.caption;
    }
}

// A formula set anew is parsed anew: the next pass shows its result, in the
// field and in the field that refers to it, and N/A while it does not parse.
TEST_F(DataPagesTest, AFormulaSetAnewIsTheOneComputed)
{
    WritePage("Float", "[Volts]\nName=FV\nFormula=X0300\n[Twice]\nFormula=FV * 2\n");
    pages.CreatePanel("Float");
    SetFloat(768, 100.25f, false);
    server.Registers()[0x10] = 9;
    Poll();
    pages.DataCalculate();
    EXPECT_EQ(Shown(0), "100.25 ");
    EXPECT_EQ(Shown(1), "200.50 ");
    struct Row {
        const char* formula;
        const char* volts;
        const char* twice;
    };
    const Row rows[] = {
        {"X0300 + 1", "101.25 ", "202.50 "},
        {"X0300 +", "N/A", "-- "},
        {"U0010", "9.00 ", "18.00 "},
    };
    for (const auto& r : rows) {
        pages.DataFields()[0]->SetFormula(r.formula);
        pages.DataCalculate();
        EXPECT_EQ(Shown(0), r.volts) << r.formula;
        EXPECT_EQ(Shown(1), r.twice) << r.formula;
    }
}

TEST_F(DataPagesTest, PhaseWindows)
{
    server.Registers()[19] = 500;
    server.Registers()[20] = 1000;
    server.Registers()[21] = 0;
    Poll();
    pages.UpdatePhaseWindows();
    EXPECT_DOUBLE_EQ(Eval("PAVG_A"), 500);
    EXPECT_DOUBLE_EQ(Eval("PAVG_B"), 1000);
    EXPECT_DOUBLE_EQ(Eval("PAVG_C"), 0);
    server.Registers()[20] = 1050;
    Poll();
    pages.UpdatePhaseWindows();
    EXPECT_DOUBLE_EQ(Eval("PAVG_B"), 1005);
    pages.UpdatePhaseWindows();
    EXPECT_DOUBLE_EQ(Eval("PAVG_B"), 1010);
    server.Registers()[20] = 1200;
    Poll();
    pages.UpdatePhaseWindows();
    EXPECT_DOUBLE_EQ(Eval("PAVG_B"), 1200);
    EXPECT_DOUBLE_EQ(Eval("PAVG_D"), 0);
    EXPECT_DOUBLE_EQ(Eval("PAVG"), 0);
}

TEST_F(DataPagesTest, ClickFillsTheWriteBoxAndResetBlanks)
{
    WritePage("Float", "[Reg]\nExtra=1A\nFormula=U001A\n[Bad]\nExtra=zz\n[None]\n");
    pages.CreatePanel("Float");
    server.Registers()[26] = 4321;
    Poll();
    pages.DataCalculate();
    EXPECT_EQ(Shown(0), "4,321.00 ");
    pageControl.show();
    QTest::mouseClick(pages.DataFields()[0]->DataPanel(), Qt::LeftButton);
    EXPECT_EQ(writeBox.reg, "1A");
    EXPECT_EQ(writeBox.value, "4321");
    EXPECT_TRUE(writeBox.decimal);
    pages.DataFieldClick(pages.DataFields()[1]);
    EXPECT_EQ(writeBox.reg, "zz");
    EXPECT_EQ(writeBox.value, "0");
    writeBox.reg = "keep";
    pages.DataFieldClick(pages.DataFields()[2]); // no Extra: nothing changes
    EXPECT_EQ(writeBox.reg, "keep");

    pages.DataReset();
    EXPECT_EQ(Shown(0), "-- ");
    EXPECT_EQ(link->GetRegister(26), 0);
}

// The default page against a meter whose 60 floats are 1, 2, ..., 60 and
// whose phase registers hold 1000, in both word orders.
TEST_F(DataPagesTest, DefaultPageShowsTheMetersFloats)
{
    ASSERT_TRUE(QFile::copy(KELVANE_DATA_DIR "/Float.ini", dir.filePath("Float.ini")));
    pages.CreatePanel("Float");
    ASSERT_EQ(pageControl.count(), 1);
    for (bool lowFirst : {false, true}) {
        server.Registers()[142] = lowFirst ? 0x2000 : 0;
        for (int i = 0; i < 60; ++i)
            SetFloat(768 + 2 * i, static_cast<float>(1000 * (i + 1)) + 0.25f, lowFirst);
        for (int r : {19, 20, 21})
            server.Registers()[r] = 20000;
        for (int r : {128, 129, 130, 131})
            server.Registers()[r] = 2; // PT 2:2, CT 2:2
        Poll();
        pages.UpdatePhaseWindows();
        pages.DataCalculate();
        std::map<QString, QString> shown;
        for (const TDataField* f : pages.DataFields())
            shown[f->Caption()] = f->DataPanel()->text();
        EXPECT_EQ(shown["V A-N (V)"], "11,000.3 ");        // entry 10
        EXPECT_EQ(shown["V C-A (V)"], "16,000.3 ");        // entry 15, voltage A-C
        EXPECT_EQ(shown["I B (A)"], "18,000.250 ");        // entry 17
        EXPECT_EQ(shown["P tot (kW)"], "2.000 ");          // entry 1 / 1000
        EXPECT_EQ(shown["PF P/S"], "0.500 ");              // 2000.25 / 4000.25
        EXPECT_EQ(shown["Freq (Hz)"], "9,000.25 ");        // entry 8
        EXPECT_EQ(shown["Pav A (kW)"], "2.000 ");
        EXPECT_EQ(shown["VAh tot"], "60,000.250 ");        // entry 59
        EXPECT_EQ(shown["kWh total"], "1,000.250 ");    // entry 0
        for (const auto& [caption, text] : shown)
            EXPECT_NE(text, "-- ") << caption.toStdString();
    }
    pageControl.resize(700, 450);
    pageControl.show();
    testsupport::SaveScreenshot(pageControl, "default-page");
}

namespace {

// What a reader of the field misses: a caption cut or covered by the value
// box, a value text cut, or an overflow mark whose tooltip lacks the whole
// value. Empty when nothing is missing.
QString WhatIsCut(TDataField& field)
{
    const QLabel* caption = field.CaptionLabel();
    const int captionText = caption->fontMetrics().horizontalAdvance(caption->text());
    if (captionText > caption->contentsRect().width() || captionText > field.DataPanel()->x())
        return "caption cut: " + caption->text();
    if (field.height() < caption->sizeHint().height() || field.height() < field.DataPanel()->sizeHint().height())
        return "text cut at the bottom";
    QLabel* box = field.DataPanel();
    if (box->text() != TDataField::OverflowMark) {
        if (box->text() != field.Text() || box->fontMetrics().horizontalAdvance(box->text()) > box->contentsRect().width())
            return "value cut: " + box->text();
        return {};
    }
    QHelpEvent rest(QEvent::ToolTip, QPoint(2, 2), box->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(box, &rest);
    const bool whole = QTest::qWaitFor(
        [&] { return QToolTip::isVisible() && QToolTip::text().section('\n', 0, 0) == field.Text().trimmed(); }, 5000);
    return whole ? QString() : "overflow without the whole value: " + QToolTip::text();
}

// Two fields over each other, or a field beyond the room the page asks for.
QString Overlap(const std::vector<TDataField*>& fields, const QWidget& page)
{
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const QRect room(QPoint(0, 0), page.minimumSizeHint());
        if (!room.contains(fields[i]->geometry()))
            return fields[i]->Caption() + " lies beyond the page";
        for (std::size_t j = i + 1; j < fields.size(); ++j)
            if (fields[i]->geometry().intersects(fields[j]->geometry()))
                return fields[i]->Caption() + " covers " + fields[j]->Caption();
    }
    return {};
}

} // namespace

// The default page with energies in the millions, as a meter behind PT
// 100:1 and CT 2000:5 counts them, and a register at the float's largest
// value, at the standard font and at larger ones: every caption and every
// digit stays visible, the value too long for any box shows the overflow
// mark with the whole value in its tooltip, and the grown fields push their
// neighbours instead of covering them.
TEST_F(DataPagesTest, LargeValuesAndLargeFontsCutNoDigitAndNoCaption)
{
    ASSERT_TRUE(QFile::copy(KELVANE_DATA_DIR "/Float.ini", dir.filePath("Float.ini")));
    pages.CreatePanel("Float");
    for (int i = 0; i < 60; ++i)
        SetFloat(768 + 2 * i, 1548306.25f, false);
    SetFloat(768 + 0x3E, FLT_MAX, false); // SW version
    Poll();
    pages.DataCalculate();
    std::map<QString, TDataField*> byCaption;
    for (TDataField* f : pages.DataFields())
        byCaption[f->Caption()] = f;
    EXPECT_EQ(byCaption["Imp tot"]->DataPanel()->text(), "1,548,306.250 ");
    EXPECT_EQ(byCaption["SW version"]->DataPanel()->text(), TDataField::OverflowMark);
    EXPECT_EQ(byCaption["SW version"]->Text(), "340,282,346,638,528,859,811,704,183,484,516,925,440.00 ");
    pageControl.resize(777, 489);
    pageControl.show();
    const QWidget* page = pageControl.findChild<QWidget*>("SheetFloat");
    ASSERT_NE(page, nullptr);

    const QFont standard = QApplication::font();
    for (const int points : {0, 10, 11, 12}) { // 0: the standard font
        SCOPED_TRACE(points);
        QFont font = standard;
        if (points)
            font.setPointSize(points);
        pageControl.setFont(font);
        TDataField* widest = byCaption["Pav A (kW)"];
        ASSERT_EQ(widest->CaptionLabel()->font().pointSize(), font.pointSize());
        ASSERT_TRUE(widest->CaptionLabel()->font().bold());
        // The page settles once the layout has run.
        EXPECT_TRUE(QTest::qWaitFor([&] { return Overlap(pages.DataFields(), *page).isEmpty(); }, 10000))
            << Overlap(pages.DataFields(), *page).toStdString();
        for (TDataField* f : pages.DataFields())
            EXPECT_EQ(WhatIsCut(*f), QString()) << f->Caption().toStdString();
        if (points == 12)
            testsupport::SaveScreenshot(pageControl, "page-12pt");
    }
}

// Tab goes from field to field in page order and the field in focus shows
// a frame; the Menu key and Shift+F10 open its context menu, whose "Add to
// Trend" the keyboard chooses. F10 alone opens nothing.
TEST_F(DataPagesTest, FieldsTakeTheFocusAndOpenTheirMenuFromTheKeyboard)
{
    WritePage("Keys", "[First]\nTop=8\nLeft=8\n[Second]\nTop=32\nLeft=8\n[Third]\nTop=8\nLeft=178\n");
    pages.CreatePanel("Keys");
    const std::vector<TDataField*>& fields = pages.DataFields();
    ASSERT_EQ(fields.size(), 3u);
    pageControl.show();
    pageControl.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&pageControl));
    pageControl.tabBar()->setFocus();
    const QImage unfocused = fields[0]->grab().toImage();
    for (TDataField* expected : fields) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == expected; }, 5000))
            << expected->Caption().toStdString();
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fields[0]->hasFocus(); }, 5000));
    EXPECT_NE(fields[0]->grab().toImage(), unfocused); // the focus frame

    std::vector<TDataField*> requested;
    for (TDataField* f : fields)
        QObject::connect(f, &TDataField::AddToTrendRequested, [&](TDataField* sender) { requested.push_back(sender); });
    struct KeyRow {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool opens;
    };
    const KeyRow keys[] = {{Qt::Key_Menu, Qt::NoModifier, true},
                           {Qt::Key_F10, Qt::ShiftModifier, true},
                           {Qt::Key_F10, Qt::NoModifier, false}};
    for (const KeyRow& k : keys) {
        SCOPED_TRACE(QKeySequence(k.key | k.modifiers).toString().toStdString());
        requested.clear();
        QStringList entries;
        QTimer picker;
        QObject::connect(&picker, &QTimer::timeout, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return;
            for (QAction* action : menu->actions()) {
                entries << action->text();
                if (action->text() == "Add to Trend")
                    menu->setActiveAction(action);
            }
            QTest::keyClick(menu, Qt::Key_Return);
        });
        picker.start(10);
        QTest::keyClick(QApplication::focusWidget(), k.key, k.modifiers);
        if (k.opens) {
            EXPECT_EQ(entries, QStringList({"Add to Trend"}));
            EXPECT_EQ(requested, std::vector<TDataField*>({fields[0]}));
        } else {
            EXPECT_TRUE(entries.isEmpty());
            EXPECT_TRUE(requested.empty());
        }
    }
}
