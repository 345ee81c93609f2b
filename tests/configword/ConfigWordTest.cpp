#include "ConfigCommit.h"

#include "ScreenFit.h"
#include "WidgetTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace {

using Image = std::array<int32_t, 159>;

// The registers of a meter with PT 1:1, CT 200:5, Output A following the
// average current from 0 A to 200 A, Output B the total power.
Image MeterImage(const std::map<int, int32_t>& changes = {})
{
    Image image{};
    const std::map<int, int32_t> defaults{
        {128, 1},    {129, 1},      {130, 200},  {131, 5},   {132, 15},     {133, 12345},
        {134, 1},    {135, 0},      {136, 0x07}, {137, 0x02}, {138, 0},     {139, 0},
        {140, 5000}, {141, 30000},  {142, 0x05E6}, {149, 4242}, {158, 0x0000},
    };
    for (const auto& [reg, value] : defaults)
        image[reg] = value;
    for (const auto& [reg, value] : changes)
        image[reg] = value;
    return image;
}

// A meter's configuration block behind the real commit cycle: the writes
// land in the image, which the cycle then loads into the dialog while the
// user has not touched it.
struct FakeMeter {
    Image image = MeterImage();
    std::vector<std::pair<int, int32_t>> writes;
    int32_t result = 0; // of every write, which lands only when 0

    void Pass(TConfigWord& dialog)
    {
        const TConfigMeter meter{[this](int reg, int32_t value) {
                                     writes.emplace_back(reg, value);
                                     if (result == 0)
                                         image[static_cast<std::size_t>(reg)] = value & 0xFFFF;
                                     return result;
                                 },
                                 [] {}, [this](int reg) { return image[static_cast<std::size_t>(reg)]; },
                                 [](const QString&, bool) {}};
        RunConfigCommit(dialog, meter);
    }
};

class ConfigWordTest : public ::testing::Test {
protected:
    void SetUp() override { ShowDialog(); }

    // What the menu entry does. The offscreen platform keeps a hidden
    // window as its focus window, so it never reports the window active
    // again: the test makes it the active window itself.
    void ShowDialog()
    {
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        QApplication::setActiveWindow(&dialog);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        ASSERT_EQ(QApplication::activeWindow(), &dialog);
    }

    template <class T = TAlignMaskEdit>
    T* Find(const char* name)
    {
        T* widget = dialog.findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    std::string Text(const char* name) { return Find(name)->text().toStdString(); }
    std::string Caption(const char* name) { return Find<QLabel>(name)->text().toStdString(); }
    std::string Current(const char* name) { return Find<QComboBox>(name)->currentText().toStdString(); }

    void Click(const char* name) { QTest::mouseClick(Find<QWidget>(name), Qt::LeftButton); }

    void ClickBox(const char* name)
    {
        QCheckBox* box = Find<QCheckBox>(name);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->height() / 2, box->height() / 2));
    }

    // Clicks into the edit, replaces its text by typing, and stays there.
    void Type(const char* name, const char* text)
    {
        TAlignMaskEdit* edit = Find(name);
        QTest::mouseClick(edit, Qt::LeftButton);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }

    void Leave() { Click("ebDemandPeriod"); }

    void LoadAndShow(FakeMeter& meter)
    {
        meter.Pass(dialog);
        // Showing again is what the menu entry does: the dialog follows the
        // meter from then on until the user changes something.
        dialog.hide();
        ShowDialog();
        meter.Pass(dialog);
        ASSERT_FALSE(dialog.UserChanged());
    }

    std::vector<int> WordBits(const char* prefix)
    {
        std::vector<int> bits;
        for (int bit = 0; bit < 16; ++bit)
            if (Find<QCheckBox>(QString("%1%2").arg(prefix).arg(bit + 1).toLatin1())->isChecked())
                bits.push_back(bit);
        return bits;
    }

    TConfigWord dialog;
};

using Writes = std::vector<std::pair<int, int32_t>>;

TEST_F(ConfigWordTest, LoadShowsTheRegistersInEngineeringUnits)
{
    FakeMeter meter;
    meter.image = MeterImage({{128, 34500}, {129, 120}, {150, 7}, {157, 65535}});
    meter.Pass(dialog);
    EXPECT_EQ(Text("ebPT_Pri"), "34500"); // unsigned, not -31036
    EXPECT_EQ(Text("ebPT_Sec"), "120");
    EXPECT_EQ(Text("ebCT_Pri"), "200");
    EXPECT_EQ(Text("ebCT_Sec"), "5");
    EXPECT_EQ(Text("ebDemandPeriod"), "15");
    EXPECT_EQ(Text("ebSerialNo"), "4242");
    EXPECT_EQ(Text("ebSP1"), "7");
    EXPECT_EQ(Text("ebSP8"), "65535");
    EXPECT_EQ(Text("ebConfigWord"), "05E6");
    EXPECT_EQ(Text("ebXConfigWord"), "0000");
    EXPECT_EQ(WordBits("cbCW"), (std::vector<int>{1, 2, 5, 6, 7, 8, 10}));
    EXPECT_EQ(Current("cbOutputA"), "Average Current -- [0x07]");
    EXPECT_EQ(Current("cbOutputB"), "Total Real Power (W) -- [0x02]");
    EXPECT_EQ(Caption("labB2"), "W");
    EXPECT_EQ(Caption("labPulse"), "Wh");
    // Power uses both ratios: 30000 W * 34500/120 * 200/5.
    EXPECT_EQ(Text("ebOutB_10"), "345000000");
    EXPECT_EQ(Find("ebPT_Sec")->Alignment(), Qt::AlignLeft);
    EXPECT_EQ(Find("ebCT_Sec")->Alignment(), Qt::AlignLeft);
    EXPECT_EQ(Find("ebPT_Pri")->Alignment(), Qt::AlignRight);
    EXPECT_FALSE(Find("ebSerialNo")->isEnabled());
}

TEST_F(ConfigWordTest, ScalingWithAndWithoutTheRatios)
{
    FakeMeter meter;
    meter.image = MeterImage({{138, 5000}});
    LoadAndShow(meter);
    EXPECT_EQ(Text("ebOutA_0"), "200.000");
    EXPECT_EQ(Caption("labA1"), "A");
    EXPECT_EQ(Caption("labA2"), "A");

    ClickBox("cbIncludeRatios");
    EXPECT_EQ(Text("ebOutA_0"), "5.000");
    ClickBox("cbIncludeRatios");
    EXPECT_EQ(Text("ebOutA_0"), "200.000");

    Type("ebOutA_0", "199.9999");
    Leave();
    EXPECT_EQ(Text("ebOutA_0"), "199.960"); // what will be stored
    Click("bOK");
    EXPECT_EQ(dialog.NewValues()[138], 4999);
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{138, 4999}}));
}

TEST_F(ConfigWordTest, ChangingTheSourceKeepsTheRawValues)
{
    FakeMeter meter;
    meter.image = MeterImage({{138, 5000}});
    LoadAndShow(meter);
    QComboBox* combo = Find<QComboBox>("cbOutputA");
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down); // the next row: System Power Factor
    EXPECT_EQ(combo->currentIndex(), 6);
    EXPECT_EQ(Text("ebOutA_0"), "0.5000"); // System Power Factor, scale 10000
    EXPECT_EQ(Caption("labA1"), "");
    Click("bApply");
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{136, 0x08}}));
}

// Entering and leaving a field, or showing it in another scale, never
// changes the value behind it, even where the rendering rounds.
TEST_F(ConfigWordTest, ShowingAValueNeverChangesIt)
{
    FakeMeter meter;
    meter.image = MeterImage({{128, 1}, {129, 3}, {130, 1}, {131, 1}, {134, 100}, {137, 0x02}, {139, 100}});
    LoadAndShow(meter);
    EXPECT_EQ(Text("ebPulseValue"), "33");
    EXPECT_EQ(Text("ebOutB_0"), "33");
    Click("ebOutB_0");
    Click("ebPulseValue");
    Leave();
    // Retyping the CT primary passes through other ratios on the way.
    Type("ebCT_Pri", "20");
    Type("ebCT_Pri", "1");
    ClickBox("cbIncludeRatios");
    ClickBox("cbIncludeRatios");
    Click("bOK");
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, Writes{});
}

TEST_F(ConfigWordTest, PulseValueFollowsTheTypedText)
{
    FakeMeter meter;
    LoadAndShow(meter);
    EXPECT_EQ(Text("ebPulseValue"), "40"); // 1 Wh raw with CT 200:5
    Type("ebPulseValue", "120");
    EXPECT_EQ(Text("ebPulseValue"), "120"); // not rewritten while typing
    Click("bApply");
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{134, 3}}));
}

TEST_F(ConfigWordTest, TypedWordTicksTheBoxesAndABoxRewritesTheWord)
{
    FakeMeter meter;
    meter.image = MeterImage({{142, 0}});
    LoadAndShow(meter);
    Type("ebConfigWord", "5e6");
    EXPECT_EQ(Text("ebConfigWord"), "5E6");
    EXPECT_EQ(WordBits("cbCW"), (std::vector<int>{1, 2, 5, 6, 7, 8, 10}));
    ClickBox("cbCW1");
    EXPECT_EQ(Text("ebConfigWord"), "05E7");
    ClickBox("cbCW1");
    EXPECT_EQ(Text("ebConfigWord"), "05E6");
    ClickBox("cbCW16");
    EXPECT_EQ(Text("ebConfigWord"), "85E6");
    Click("bApply");
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{142, 0x85E6}}));
    // A write that fails is said above the buttons; the box goes back.
    meter.result = -1;
    ClickBox("cbCW1");
    Click("bApply");
    meter.Pass(dialog);
    EXPECT_TRUE(Find<QLabel>("labCommit")->isVisible());
    EXPECT_EQ(Caption("labCommit"), "Writing 0x8e=34279 failed: no answer; the meter keeps its old Configuration Word (register 142)");
    EXPECT_FALSE(Find<QCheckBox>("cbCW1")->isChecked());
}

TEST_F(ConfigWordTest, KeyFiltersPassOnlyTheirCharacters)
{
    FakeMeter meter;
    LoadAndShow(meter);
    Type("ebXConfigWord", "g1 a.z-f");
    EXPECT_EQ(Text("ebXConfigWord"), "1AF");
    Type("ebCT_Pri", "a1b2.5e-+ ");
    EXPECT_EQ(Text("ebCT_Pri"), "12.5-+");
    QTest::keyClick(Find("ebCT_Pri"), Qt::Key_Backspace);
    EXPECT_EQ(Text("ebCT_Pri"), "12.5-");
}

// A word with bit 15 set is held negative when read; the same word typed or
// ticked is positive. It is still the same word and is not written.
TEST_F(ConfigWordTest, WordWithBit15IsNotRewrittenWithItsOwnValue)
{
    FakeMeter meter;
    meter.image = MeterImage({{142, 0x85E6}, {158, 0x8000}});
    LoadAndShow(meter);
    EXPECT_EQ(Text("ebConfigWord"), "85E6");
    EXPECT_EQ(dialog.ReadValues()[142], int16_t(0x85E6));
    ClickBox("cbCW1");
    ClickBox("cbCW1");
    Click("bOK");
    EXPECT_EQ(dialog.NewValues()[142], 0x85E6);
    int32_t value = 0;
    EXPECT_FALSE(dialog.RegisterChanged(142, value));
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, Writes{});
}

TEST_F(ConfigWordTest, OkAndApplyRequestACommitAndCancelForgets)
{
    FakeMeter meter;
    LoadAndShow(meter);
    EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::None);
    Type("ebDemandPeriod", "30");
    EXPECT_TRUE(dialog.UserChanged());

    Click("bApply");
    EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::AfterApply);
    EXPECT_TRUE(dialog.isVisible());
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{132, 30}}));
    EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::None);

    Type("ebDemandPeriod", "45");
    Click("bOK");
    EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::AfterOk);
    EXPECT_FALSE(dialog.isVisible());
    meter.Pass(dialog);
    EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::None);
    EXPECT_EQ(meter.image[132], 45);

    // Cancel leaves an earlier Apply standing: the next pass still writes.
    ShowDialog();
    EXPECT_FALSE(dialog.UserChanged());
    Type("ebDemandPeriod", "60");
    Click("bApply");
    Type("ebDemandPeriod", "75");
    Click("bCancel");
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.UserChanged());
    EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::AfterApply);
    meter.writes.clear();
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{132, 60}}));
    EXPECT_EQ(Text("ebDemandPeriod"), "60");
}

TEST_F(ConfigWordTest, OkWithoutChangesWritesNothing)
{
    FakeMeter meter;
    meter.image = MeterImage({{135, 3}, {143, 9}, {149, 77}});
    LoadAndShow(meter);
    Click("bOK");
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, Writes{}); // not even a 0 to the reset register
    for (int reg : {133, 135, 143, 148, 149}) {
        int32_t value = 0;
        EXPECT_FALSE(dialog.RegisterChanged(reg, value)) << reg;
    }
}

TEST_F(ConfigWordTest, EmptyWordEditsStoreTheirDefaults)
{
    FakeMeter meter;
    meter.image = MeterImage({{142, 0x1234}, {158, 0x0001}});
    LoadAndShow(meter);
    Type("ebConfigWord", "");
    Type("ebXConfigWord", "");
    EXPECT_EQ(WordBits("cbCW"), std::vector<int>{});
    Click("bOK");
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{142, 1510}, {158, 8000}}));
}

TEST_F(ConfigWordTest, ConfigForDisp)
{
    FakeMeter meter;
    LoadAndShow(meter);
    EXPECT_EQ(Caption("labSP7"), "Scratchpad [7]:");
    Click("bDISP");
    EXPECT_TRUE(Find<QCheckBox>("cbXCW1")->isChecked());
    EXPECT_EQ(Text("ebXConfigWord"), "0001");
    EXPECT_EQ(Text("ebSP7"), "770");
    EXPECT_EQ(Text("ebSP8"), "768");
    EXPECT_EQ(Caption("labSP7"), "DISP Line 1:");
    EXPECT_EQ(Caption("labSP8"), "DISP Line 2:");
    EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::AfterApply);
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{156, 770}, {157, 768}, {158, 1}}));
    ClickBox("cbXCW1");
    EXPECT_EQ(Caption("labSP8"), "Scratchpad [8]:");
}

TEST_F(ConfigWordTest, ChangedControlsAreBoldUntilTheNextLoad)
{
    FakeMeter meter;
    LoadAndShow(meter);
    Type("ebCT_Pri", "100");
    Type("ebSP3", "9");
    QComboBox* combo = Find<QComboBox>("cbOutputB");
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Down);
    EXPECT_TRUE(Find("ebCT_Pri")->font().bold());
    EXPECT_TRUE(Find("ebSP3")->font().bold());
    EXPECT_TRUE(combo->font().bold());
    EXPECT_FALSE(Find("ebPT_Pri")->font().bold());
    Click("bApply");
    meter.Pass(dialog);
    for (const char* name : {"ebCT_Pri", "ebSP3", "ebOutA_0", "ebPulseValue", "ebConfigWord"})
        EXPECT_FALSE(Find(name)->font().bold()) << name;
    EXPECT_FALSE(combo->font().bold());
}

TEST_F(ConfigWordTest, UnknownSourceCodeIsShownAndStoredAsItCame)
{
    FakeMeter meter;
    meter.image = MeterImage({{136, 0x42}, {140, 5000}});
    LoadAndShow(meter);
    QComboBox* combo = Find<QComboBox>("cbOutputA");
    EXPECT_EQ(combo->currentText().toStdString(), "Unknown source -- [0x42]");
    EXPECT_EQ(Text("ebOutA_10"), "5000");
    EXPECT_EQ(Caption("labA2"), "");
    Type("ebDemandPeriod", "20");
    Click("bOK");
    EXPECT_EQ(dialog.NewValues()[136], 0x42);
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{132, 20}}));

    // Once the meter holds a known code, the extra row goes.
    meter.image[136] = 0x07;
    ShowDialog();
    meter.Pass(dialog);
    EXPECT_EQ(combo->count(), int(OutputSources.size()));
    EXPECT_EQ(combo->currentText().toStdString(), "Average Current -- [0x07]");
}

TEST_F(ConfigWordTest, LeavingAFieldThatHoldsNoNumber)
{
    FakeMeter meter;
    meter.image = MeterImage({{140, 5000}});
    LoadAndShow(meter);
    testsupport::MessageBoxRecorder boxes;
    Type("ebCT_Pri", "-");
    Leave();
    Type("ebOutA_10", ".");
    Leave();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "CT Ratio (primary): Input must be a number");
    EXPECT_EQ(boxes.shown[1].text, "Output A (10V): Input must be a number");
    EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Critical);
    EXPECT_EQ(boxes.shown[0].buttons, QMessageBox::Ok);
    EXPECT_EQ(Text("ebCT_Pri"), "1");
    EXPECT_EQ(Text("ebOutA_10"), "1.000"); // the same raw value, CT now 1:5
    Click("bApply");
    EXPECT_EQ(dialog.NewValues()[140], 5000);
}

TEST_F(ConfigWordTest, WholeNumberFieldsShowWhatWillBeWritten)
{
    FakeMeter meter;
    LoadAndShow(meter);
    Type("ebCT_Pri", "2.5");
    Leave();
    EXPECT_EQ(Text("ebCT_Pri"), "2");
    Type("ebPT_Sec", "0"); // scales as 1, written as 0
    Type("ebSP1", "1.5");
    Click("bApply");
    meter.Pass(dialog);
    EXPECT_EQ(meter.writes, (Writes{{129, 0}, {130, 2}, {150, 1}}));
}

// Escape takes back what was typed, and the value behind the field comes
// back as the register holds it, not recomputed from its rounded text. Tab
// moves on and keeps what was typed.
TEST_F(ConfigWordTest, EscapeRestoresTheRegisterValueAndTabKeepsTheTypedOne)
{
    // CT 100:3 shows a pulse value of 25 Wh as 833 (833.33 rounded).
    const std::map<int, int32_t> pulse{{130, 100}, {131, 3}, {134, 25}};
    const struct {
        const char* name;
        std::map<int, int32_t> image;
        const char* field;
        const char* typed;
        Qt::Key key;
        const char* shown;
        Writes writes;
    } cases[] = {
        {"PulseEscape", pulse, "ebPulseValue", "900", Qt::Key_Escape, "833", {}},
        {"PulseTab", pulse, "ebPulseValue", "900", Qt::Key_Tab, "900", {{134, 27}}},
        {"OutputEscape", {{138, 5000}}, "ebOutA_0", "100", Qt::Key_Escape, "200.000", {}},
        {"OutputTab", {{138, 5000}}, "ebOutA_0", "100", Qt::Key_Tab, "100.000", {{138, 2500}}},
        {"RatioEscape", {}, "ebCT_Pri", "100", Qt::Key_Escape, "200", {}},
        {"RatioTab", {}, "ebCT_Pri", "100", Qt::Key_Tab, "100", {{130, 100}}},
        {"ScratchpadTab", {}, "ebSP1", "12", Qt::Key_Tab, "12", {{150, 12}}},
        {"WordTab", {}, "ebConfigWord", "1234", Qt::Key_Tab, "1234", {{142, 0x1234}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMeter meter;
        meter.image = MeterImage(c.image);
        LoadAndShow(meter);
        Type(c.field, c.typed);
        QTest::keyClick(Find(c.field), c.key);
        EXPECT_EQ(Text(c.field), c.shown);
        Leave();
        EXPECT_EQ(Text(c.field), c.shown);
        if (c.key == Qt::Key_Tab) {
            EXPECT_TRUE(Find(c.field)->font().bold()); // a change still to be applied
        }
        Click("bApply");
        meter.Pass(dialog);
        EXPECT_EQ(meter.writes, c.writes);
    }
}

// A number outside what its register holds is refused when the field is
// left, with the range in the field's own units; the field shows its value
// again and nothing is written for it. The limits themselves are taken.
TEST_F(ConfigWordTest, ValuesTheRegisterCannotHoldAreRefused)
{
    const std::map<int, int32_t> oneToOne{{128, 1}, {129, 1}, {130, 1}, {131, 1}, {141, 100}};
    const struct {
        const char* name;
        std::map<int, int32_t> image;
        const char* field;
        const char* typed;
        const char* message; // empty: taken
        const char* shown;
        Writes writes;
    } cases[] = {
        {"ScratchpadAbove", {}, "ebSP1", "70000", "Scratchpad [1]: Input must be between 0 and 65535", "0", {}},
        {"ScratchpadBelow", {{152, 9}}, "ebSP3", "-1", "Scratchpad [3]: Input must be between 0 and 65535", "9", {}},
        {"ScratchpadTop", {}, "ebSP1", "65535", "", "65535", {{150, 65535}}},
        {"DispLineAbove", {{158, 1}}, "ebSP7", "70000", "DISP Line 1: Input must be between 0 and 65535", "0", {}},
        {"RatioAbove", {}, "ebPT_Pri", "70000", "PT Ratio (primary): Input must be between 0 and 65535", "1", {}},
        {"RatioBelow", {}, "ebCT_Sec", "-5", "CT Ratio (secondary): Input must be between 0 and 65535", "5", {}},
        {"OutputAbove", oneToOne, "ebOutB_10", "40000", "Output B (10V): Input must be between -32768 and 32767",
         "100", {}},
        {"OutputTop", oneToOne, "ebOutB_10", "32767", "", "32767", {{141, 32767}}},
        {"OutputInAmperes", {}, "ebOutA_0", "-1400",
         "Output A (0V): Input must be between -1310.720 and 1310.680", "0.000", {}},
        {"PulseBelow", {{134, 2}}, "ebPulseValue", "-100", "Pulse Value: Input must be between 0 and 2621400", "80",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMeter meter;
        meter.image = MeterImage(c.image);
        LoadAndShow(meter);
        testsupport::MessageBoxRecorder boxes;
        Type(c.field, c.typed);
        Leave();
        if (*c.message) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, c.message);
            EXPECT_EQ(boxes.shown[0].icon, QMessageBox::Critical);
        } else {
            EXPECT_TRUE(boxes.shown.empty());
        }
        EXPECT_EQ(Text(c.field), c.shown);
        Click("bApply");
        meter.Pass(dialog);
        EXPECT_EQ(meter.writes, c.writes);
    }
}

// Escape is Cancel: the change is forgotten, nothing is committed, and the
// next pass shows the meter's values again. In a field whose change is not
// finished, the first Escape takes back that change and no more.
TEST_F(ConfigWordTest, EscapeCancels)
{
    const struct {
        const char* name;
        std::function<void()> change;
        int escapes;
    } cases[] = {
        {"WordBox", [this] { ClickBox("cbCW5"); }, 1},
        {"SourceByKey",
         [this] {
             Find<QComboBox>("cbOutputA")->setFocus();
             QTest::keyClick(Find<QComboBox>("cbOutputA"), Qt::Key_Down);
         },
         1},
        {"FinishedField",
         [this] {
             Type("ebDemandPeriod", "30");
             QTest::keyClick(Find("ebDemandPeriod"), Qt::Key_Tab);
         },
         1},
        {"UnfinishedField", [this] { Type("ebDemandPeriod", "30"); }, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMeter meter;
        LoadAndShow(meter);
        const std::vector<int> bits = WordBits("cbCW");
        const std::string source = Current("cbOutputA");
        c.change();
        ASSERT_TRUE(dialog.UserChanged());
        for (int k = 1; k < c.escapes; ++k) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            EXPECT_TRUE(dialog.isVisible());
            EXPECT_EQ(Text("ebDemandPeriod"), "15");
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_FALSE(dialog.UserChanged());
        EXPECT_EQ(dialog.PendingCommit(), TConfigWord::TPendingCommit::None);
        meter.Pass(dialog);
        EXPECT_EQ(meter.writes, Writes{});
        EXPECT_EQ(Text("ebDemandPeriod"), "15");
        EXPECT_EQ(WordBits("cbCW"), bits);
        EXPECT_EQ(Current("cbOutputA"), source);
    }
}

// However small the screen, Config Word fits it: OK, Apply and Cancel are
// in sight below the body, which scrolls.
TEST_F(ConfigWordTest, FitsTheScreenWithItsButtonsInSight)
{
    FakeMeter meter;
    LoadAndShow(meter);
    EXPECT_TRUE(testsupport::FitsItsScreen(dialog, {Find<QPushButton>("bOK"), Find<QPushButton>("bApply"),
                                                    Find<QPushButton>("bCancel")},
                                           *Find<QScrollArea>("sbBody")));
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "configword-fitted"));
}

TEST_F(ConfigWordTest, NothingCanBeStoredBeforeTheMetersValuesArrive)
{
    EXPECT_FALSE(Find<QPushButton>("bOK")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("bApply")->isEnabled());
    EXPECT_FALSE(Find<QPushButton>("bDISP")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>("bCancel")->isEnabled());
    FakeMeter meter;
    meter.Pass(dialog);
    EXPECT_TRUE(Find<QPushButton>("bOK")->isEnabled());
}

TEST_F(ConfigWordTest, ShowingClearsUserChangedAndFocusesApply)
{
    FakeMeter meter;
    meter.Pass(dialog);
    EXPECT_TRUE(dialog.UserChanged()); // the load's own text changes count
    dialog.hide();
    ShowDialog();
    EXPECT_FALSE(dialog.UserChanged());
    EXPECT_EQ(QApplication::focusWidget(), Find<QPushButton>("bApply"));
    EXPECT_EQ(dialog.windowTitle(), "ConfigWord");
}

TEST_F(ConfigWordTest, Screenshot)
{
    FakeMeter meter;
    meter.image = MeterImage({{138, 0}, {140, 5000}, {139, 0}, {141, 30000}, {158, 0x0001}, {156, 770}, {157, 768}});
    LoadAndShow(meter);
    Type("ebCT_Pri", "100");
    EXPECT_TRUE(testsupport::SaveScreenshot(dialog, "configword"));
}

} // namespace
