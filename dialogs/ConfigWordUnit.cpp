#include "ConfigWordUnit.h"

#include "FileDialogs.h"
#include "MessageBoxes.h"
#include "MeterScan.h"
#include "RegisterBitDefs.h"
#include "RegisterMap.h"
#include "ScreenPlacement.h"
#include "WholeScrollArea.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

// Registers of the configuration block.
constexpr int RegPTPrimary = RegisterMap::PtPrimary;
constexpr int RegFixed12345 = RegisterMap::Fixed12345;
constexpr int RegPulseValue = 134;
constexpr int RegResetRegister = 135;
constexpr int RegOutputASource = 136;
constexpr int RegOutputBSource = 137;
constexpr int RegOutputA0V = 138;
constexpr int RegOutputB0V = 139;
constexpr int RegOutputA10V = 140;
constexpr int RegOutputB10V = 141;
constexpr int RegConfigWord = RegisterMap::ConfigWord;
constexpr int RegVoltageThreshold = 143;
constexpr int RegSerialNumber = RegisterMap::SerialNumber;
constexpr int RegScratchPad0 = 150;
constexpr int RegXConfigWord = RegisterMap::XConfigWord;

const std::array<const char*, 16> ConfigWordHints{
    "Pulse 2 Selection: Unchecked=VARh, Checked=Power Direction",
    "Reverse W Sign",
    "Reverse VAR Sign",
    "Reverse Sequence",
    "Disable Sequence Error",
    "Force W Absolute",
    "Force VAR Absolute",
    "Force PF Absolute",
    "Pulse on +Wh",
    "Pulse on -Wh",
    "Pulse on +VARh",
    "Pulse on -VARh",
    "Flash RED on No Voltage",
    "32-bit Reversal",
    "V/I Average or Total",
    "Split Phase + 240V Load Mode",
};

const std::array<const char*, 16> XConfigWordHints{
    "Configure Pulse 2 as DISP output",
    "Set pulse type to Change of State",
    "Set 57,600bps",
    "Reserved", "Reserved", "Reserved", "Reserved", "Reserved", "Reserved",
    "Reserved", "Reserved", "Reserved", "Reserved", "Reserved", "Reserved", "Reserved",
};

constexpr int KnownSourceRows = int(OutputSources.size());

// The register holds 16 bits; these quantities are never negative.
int32_t Unsigned16(int32_t value)
{
    return value & 0xFFFF;
}

// A 16-bit word as exactly four hexadecimal digits, whatever its sign.
QString Hex4(int32_t value)
{
    return QString::asprintf("%04X", unsigned(value) & 0xFFFFu);
}

std::optional<int32_t> HexValue(const QString& text)
{
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 16);
    if (!ok || value < 0 || value > 0xFFFF)
        return std::nullopt;
    return int32_t(value);
}

// A decimal text as stored to a register: 1 when it is not a whole number
// that the 16-bit register can hold (as an unsigned or a signed value).
int32_t RegisterInt(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok && value >= -0x8000 && value <= 0xFFFF ? value : 1;
}

// A ratio part as the scaling reads it: 1 when not a whole number.
long double RatioPart(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 1;
}

// Changes the text only when it differs, so that an unchanged rendering
// neither raises a change nor resets the edit's undo state.
void SetEditText(QLineEdit* edit, const QString& text)
{
    if (edit->text() != text)
        edit->setText(text);
}

void SetBold(QWidget* widget, bool bold)
{
    QFont font = widget->font();
    font.setBold(bold);
    widget->setFont(font);
}

// Consumes a key press whose character the edit does not accept, and types
// an accepted lower-case letter as its upper-case form. Keys without a
// printable character (Backspace, Delete, arrows, Tab, Escape) and shortcuts
// pass untouched.
bool FilterKey(QLineEdit* edit, const QKeyEvent* key, QStringView accepted)
{
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    const QString text = key->text();
    if (text.size() != 1 || !text[0].isPrint())
        return false;
    const QChar upper = text[0].toUpper();
    if (!accepted.contains(upper))
        return true;
    if (upper == text[0])
        return false;
    edit->insert(upper);
    return true;
}

// A context menu or a switch to another window leaves the caret where it
// was: the user has not left the field.
bool LeavesTheField(const QEvent* e)
{
    if (e->type() != QEvent::FocusOut)
        return false;
    const Qt::FocusReason reason = static_cast<const QFocusEvent*>(e)->reason();
    return reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason;
}

constexpr QStringView NumberKeys = u"+-.0123456789";
constexpr QStringView HexKeys = u"0123456789ABCDEF";

int CharWidth(const QWidget* widget, int chars)
{
    return widget->fontMetrics().horizontalAdvance(QLatin1Char('0')) * chars + 12;
}

} // namespace

TConfigWord::TConfigWord(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName("ConfigWord");
    setWindowTitle("ConfigWord");

    auto* general = new QGroupBox("General Configuration");
    general->setObjectName("gbGeneral");
    BuildGeneral(general);
    configWord_.fallback = 1510;
    auto* word = BuildWord("Config Word", "CW", ConfigWordHints, "(hold mouse over checkbox for bit description)",
                           configWord_);
    xConfigWord_.fallback = 8000;
    auto* xword = BuildWord("Extended Config Word (Firmware > 4.5 only)", "XCW", XConfigWordHints, "", xConfigWord_);
    xConfigWord_.boxes[15]->setEnabled(false);
    auto* userData = new QGroupBox("User Data");
    userData->setObjectName("gbUserData");
    BuildUserData(userData);

    bOK = new QPushButton("OK");
    bOK->setObjectName("bOK");
    bApply = new QPushButton("Apply");
    bApply->setObjectName("bApply");
    bCancel = new QPushButton("Cancel");
    bCancel->setObjectName("bCancel");
    bSaveProfile = new QPushButton("Save Profile...");
    bSaveProfile->setObjectName("bSaveProfile");
    bLoadProfile = new QPushButton("Load Profile...");
    bLoadProfile->setObjectName("bLoadProfile");
    labProfile = new QLabel;
    labProfile->setObjectName("labProfile");
    labProfile->setWordWrap(true);
    // Where a failed write is told: beside the buttons, in sight however the
    // body is scrolled, since the box or field the write was for shows the
    // meter's value again.
    labCommit = new QLabel;
    labCommit->setObjectName("labCommit");
    labCommit->setWordWrap(true);
    labCommit->setStyleSheet("QLabel { color: #d01010; font-weight: bold; }");
    labCommit->hide();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(bSaveProfile);
    buttons->addWidget(bLoadProfile);
    buttons->addStretch();
    buttons->addWidget(bOK);
    buttons->addWidget(bApply);
    buttons->addWidget(bCancel);

    // The body scrolls on a screen too small for it; the buttons below it
    // stay in sight whatever the screen's size and scale.
    auto* body = new QWidget;
    body->setObjectName("body");
    auto* bodyLayout = new QVBoxLayout(body);
    bodyLayout->setContentsMargins(0, 0, 0, 0);
    bodyLayout->addWidget(general);
    bodyLayout->addWidget(word);
    bodyLayout->addWidget(xword);
    bodyLayout->addWidget(userData);
    bodyLayout->addWidget(labProfile);
    bodyLayout->addStretch();
    auto* scroll = new TWholeScrollArea(body);
    scroll->setObjectName("sbBody");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(scroll, 1);
    layout->addWidget(labCommit);
    layout->addLayout(buttons);

    ConnectSignals();
    // Until the meter's values have arrived there is nothing to compare the
    // edits with: storing then would write every field, empty ones as 1.
    for (QPushButton* button : {bOK, bApply, bDISP})
        button->setEnabled(false);
}

TAlignMaskEdit* TConfigWord::MakeEdit(const QString& name, Qt::Alignment alignment)
{
    auto* edit = new TAlignMaskEdit;
    edit->setObjectName(name);
    edit->SetAlignment(alignment);
    edit->setFixedWidth(CharWidth(edit, 8));
    return edit;
}

QComboBox* TConfigWord::MakeSourceCombo(const QString& name)
{
    auto* combo = new QComboBox;
    combo->setObjectName(name);
    for (const TOutputSource& source : OutputSources)
        combo->addItem(SourceCaption(source), source.Code);
    combo->setCurrentIndex(0);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    combo->setMaxVisibleItems(KnownSourceRows + 1);
    return combo;
}

void TConfigWord::BuildGeneral(QGroupBox* group)
{
    ebPT_Pri = MakeEdit("ebPT_Pri");
    ebPT_Sec = MakeEdit("ebPT_Sec", Qt::AlignLeft);
    ebCT_Pri = MakeEdit("ebCT_Pri");
    ebCT_Sec = MakeEdit("ebCT_Sec", Qt::AlignLeft);
    ebDemandPeriod = MakeEdit("ebDemandPeriod");
    pulseValue_ = {MakeEdit("ebPulseValue"), nullptr, 0, 0xFFFF};
    labPulse = new QLabel("Wh");

    auto* ratios = new QGridLayout;
    const auto addRatio = [ratios](int row, const char* caption, QWidget* primary, QWidget* secondary) {
        ratios->addWidget(new QLabel(caption), row, 0);
        ratios->addWidget(primary, row, 1);
        ratios->addWidget(new QLabel(":"), row, 2, Qt::AlignCenter);
        ratios->addWidget(secondary, row, 3);
    };
    addRatio(0, "PT Ratio:", ebPT_Pri, ebPT_Sec);
    addRatio(1, "CT Ratio:", ebCT_Pri, ebCT_Sec);
    captions_ = {{ebPT_Pri, "PT Ratio (primary)"},   {ebPT_Sec, "PT Ratio (secondary)"},
                 {ebCT_Pri, "CT Ratio (primary)"},   {ebCT_Sec, "CT Ratio (secondary)"},
                 {ebDemandPeriod, "Demand Period"},  {pulseValue_.edit, "Pulse Value"}};
    ratios->addWidget(new QLabel("Demand Period:"), 2, 0);
    ratios->addWidget(ebDemandPeriod, 2, 1);
    ratios->addWidget(new QLabel("Pulse Value:"), 3, 0);
    ratios->addWidget(pulseValue_.edit, 3, 1);
    ratios->addWidget(labPulse, 3, 2, 1, 2);
    ratios->setRowStretch(4, 1);

    cbOutputA = MakeSourceCombo("cbOutputA");
    cbOutputB = MakeSourceCombo("cbOutputB");
    outA0_ = {MakeEdit("ebOutA_0"), cbOutputA, -0x8000, 0x7FFF};
    outA10_ = {MakeEdit("ebOutA_10"), cbOutputA, -0x8000, 0x7FFF};
    outB0_ = {MakeEdit("ebOutB_0"), cbOutputB, -0x8000, 0x7FFF};
    outB10_ = {MakeEdit("ebOutB_10"), cbOutputB, -0x8000, 0x7FFF};
    labA1 = new QLabel;
    labA2 = new QLabel;
    labB1 = new QLabel;
    labB2 = new QLabel;
    for (QLabel* unit : {labPulse, labA1, labA2, labB1, labB2})
        unit->setMinimumWidth(unit->fontMetrics().horizontalAdvance("VAR") + 4);
    labA1->setObjectName("labA1");
    labA2->setObjectName("labA2");
    labB1->setObjectName("labB1");
    labB2->setObjectName("labB2");
    labPulse->setObjectName("labPulse");

    auto* outputs = new QGridLayout;
    AddOutputRow(outputs, 0, "Output A Source:", cbOutputA, outA0_, outA10_);
    AddOutputRow(outputs, 2, "Output B Source:", cbOutputB, outB0_, outB10_);
    captions_.insert({{outA0_.edit, "Output A (0V)"},
                      {outA10_.edit, "Output A (10V)"},
                      {outB0_.edit, "Output B (0V)"},
                      {outB10_.edit, "Output B (10V)"}});
    outputs->addWidget(labA1, 1, 3);
    outputs->addWidget(labA2, 1, 6);
    outputs->addWidget(labB1, 3, 3);
    outputs->addWidget(labB2, 3, 6);
    cbIncludeRatios = new QCheckBox("Include CT/PT Ratios");
    cbIncludeRatios->setObjectName("cbIncludeRatios");
    cbIncludeRatios->setChecked(true);
    outputs->addWidget(cbIncludeRatios, 4, 1, 1, 6);
    outputs->setColumnStretch(7, 1);

    auto* separator = new QFrame;
    separator->setFrameShape(QFrame::VLine);
    separator->setFrameShadow(QFrame::Sunken);
    auto* layout = new QHBoxLayout(group);
    layout->addLayout(ratios);
    layout->addSpacing(8);
    layout->addWidget(separator);
    layout->addSpacing(8);
    layout->addLayout(outputs, 1);
}

// One output: the source combo on its row, the 0 V and 10 V values with
// their units on the row below.
void TConfigWord::AddOutputRow(QGridLayout* grid, int row, const QString& caption, QComboBox* combo,
                               TScaledEdit& low, TScaledEdit& high)
{
    grid->addWidget(new QLabel(caption), row, 0);
    grid->addWidget(combo, row, 1, 1, 7, Qt::AlignLeft);
    grid->addWidget(new QLabel("0V="), row + 1, 1, Qt::AlignRight);
    grid->addWidget(low.edit, row + 1, 2);
    grid->addWidget(new QLabel("10V="), row + 1, 4, Qt::AlignRight);
    grid->addWidget(high.edit, row + 1, 5);
}

// The group of one word, CW or XCW: its boxes cbCW1 ... cbCW16 (or cbXCW...)
// and its edit ebConfigWord (or ebXConfigWord).
QGroupBox* TConfigWord::BuildWord(const QString& title, const QString& name,
                                  const std::array<const char*, 16>& hints, const QString& note, TWordEdit& word)
{
    auto* group = new QGroupBox(title);
    group->setObjectName("gb" + name);
    auto* grid = new QGridLayout(group);
    grid->setHorizontalSpacing(2);
    // Box n+1 stands for bit n; the most significant bit is at the left, and
    // a small gap after every four boxes lets the eye find the hex digits.
    for (int bit = 15; bit >= 0; --bit) {
        const int column = (15 - bit) + (15 - bit) / 4;
        auto* box = new QCheckBox;
        box->setObjectName("cb" + name + QString::number(bit + 1));
        box->setToolTip(hints[bit]);
        word.boxes[bit] = box;
        grid->addWidget(new QLabel(QString::number(bit + 1)), 0, column, Qt::AlignHCenter);
        grid->addWidget(box, 1, column, Qt::AlignHCenter);
        if (bit % 4 == 0 && bit > 0)
            grid->setColumnMinimumWidth(column + 1, 8);
    }
    constexpr int after = 16 + 3;
    word.edit = MakeEdit(name == "CW" ? "ebConfigWord" : "ebXConfigWord");
    word.edit->setMaxLength(4);
    word.edit->setFixedWidth(CharWidth(word.edit, 5));
    grid->addWidget(new QLabel("="), 1, after, Qt::AlignCenter);
    grid->setColumnMinimumWidth(after, 20);
    grid->addWidget(word.edit, 1, after + 1);
    grid->addWidget(new QLabel("(hex)"), 1, after + 2);
    grid->setColumnStretch(after + 3, 1);
    if (!note.isEmpty())
        grid->addWidget(new QLabel(note), 2, 0, 1, after + 4);
    return group;
}

void TConfigWord::BuildUserData(QGroupBox* group)
{
    auto* grid = new QGridLayout(group);
    ebSerialNo = MakeEdit("ebSerialNo");
    ebSerialNo->setReadOnly(true);
    // Greyed as the palette greys a disabled field, so that it stays
    // readable in a dark one too.
    ebSerialNo->setEnabled(false);
    grid->addWidget(new QLabel("Serial Number:"), 0, 0);
    grid->addWidget(ebSerialNo, 0, 1);
    for (int k = 0; k < 8; ++k) {
        ebSP[k] = MakeEdit(QString("ebSP%1").arg(k + 1));
        labSP[k] = new QLabel(QString("Scratchpad [%1]:").arg(k + 1));
        labSP[k]->setObjectName(QString("labSP%1").arg(k + 1));
        const int row = 1 + k % 4;
        const int column = k < 4 ? 0 : 3;
        grid->addWidget(labSP[k], row, column);
        grid->addWidget(ebSP[k], row, column + 1);
    }
    grid->setColumnMinimumWidth(2, 24);
    bDISP = new QPushButton("Config for DISP");
    bDISP->setObjectName("bDISP");
    grid->setColumnStretch(5, 1);
    grid->addWidget(bDISP, 4, 6);
}

void TConfigWord::ConnectSignals()
{
    const auto plain = PlainEdits();
    std::vector<TAlignMaskEdit*> changing(plain.begin(), plain.end());
    for (const TScaledEdit* scaled : ScaledEdits())
        changing.push_back(scaled->edit);
    for (TAlignMaskEdit* edit : changing)
        edit->installEventFilter(this);
    for (TWordEdit* word : {&configWord_, &xConfigWord_}) {
        changing.push_back(word->edit);
        word->edit->installEventFilter(this);
        for (QCheckBox* box : word->boxes)
            connect(box, &QCheckBox::toggled, this, [this, word] { WordBoxClick(*word); });
    }
    for (TAlignMaskEdit* edit : ebSP) {
        changing.push_back(edit);
        edit->installEventFilter(this);
    }
    for (TAlignMaskEdit* edit : changing)
        connect(edit, &QLineEdit::textChanged, this, [this, edit] { ControlChange(edit); });
    for (QComboBox* combo : {cbOutputA, cbOutputB})
        connect(combo, &QComboBox::currentIndexChanged, this, [this, combo] { ControlChange(combo); });
    connect(cbIncludeRatios, &QCheckBox::toggled, this, [this] { cbIncludeRatiosClick(); });
    connect(bOK, &QPushButton::clicked, this, [this] { bOKClick(); });
    connect(bApply, &QPushButton::clicked, this, [this] { bApplyClick(); });
    connect(bCancel, &QPushButton::clicked, this, [this] { bCancelClick(); });
    connect(bDISP, &QPushButton::clicked, this, [this] { bDISPClick(); });
    connect(bSaveProfile, &QPushButton::clicked, this, [this] { bSaveProfileClick(); });
    connect(bLoadProfile, &QPushButton::clicked, this, [this] { bLoadProfileClick(); });
}

void TConfigWord::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (!e->spontaneous())
        FormShow();
}

// Escape is Cancel, as in every dialog; a field with an unfinished change
// takes back that change first (see eventFilter).
void TConfigWord::keyPressEvent(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        bCancelClick();
        return;
    }
    QWidget::keyPressEvent(e);
}

// The window has no close box; a close from the window manager (Alt+F4)
// counts as Cancel.
void TConfigWord::closeEvent(QCloseEvent* e)
{
    bCancelClick();
    e->accept();
}

bool TConfigWord::eventFilter(QObject* watched, QEvent* e)
{
    if (TScaledEdit* scaled = ScaledEditOf(watched))
        TrackEnteredRaw(*scaled, e);
    if (e->type() == QEvent::KeyPress) {
        auto* edit = static_cast<TAlignMaskEdit*>(watched);
        // Escape in a field with an unfinished change takes back that change
        // and no more; the next Escape reaches the dialog, which cancels.
        if (static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape && edit->isModified()) {
            edit->RevertUserChange();
            return true;
        }
        if (IsWordEdit(watched))
            return FilterKey(edit, static_cast<QKeyEvent*>(e), HexKeys);
        if (IsNumericEdit(watched))
            return FilterKey(edit, static_cast<QKeyEvent*>(e), NumberKeys);
    }
    if (LeavesTheField(e)) {
        if (IsNumericEdit(watched))
            ebExit(static_cast<TAlignMaskEdit*>(watched));
        else if (IsScratchpad(watched))
            ExitScratchpad(static_cast<TAlignMaskEdit*>(watched));
    }
    return QWidget::eventFilter(watched, e);
}

// The edit takes its text back on Escape from the events it sees (see
// TAlignMaskEdit); the raw value behind the text is kept the same way, from
// the same events, so that both return to the same moment. The raw value
// comes back as it was, never recomputed from its rounded rendering.
void TConfigWord::TrackEnteredRaw(TScaledEdit& scaled, const QEvent* e)
{
    if (!scaled.edit->isModified())
        scaled.enteredRaw = scaled.raw;
    else if (e->type() == QEvent::KeyPress && static_cast<const QKeyEvent*>(e)->key() == Qt::Key_Escape)
        scaled.raw = scaled.enteredRaw;
}

void TConfigWord::FormShow()
{
    // As large as the whole body wants, then cut down to the screen.
    resize(sizeHint());
    CentreOnScreen(*this);
    FitToScreen(*this);
    bApply->setFocus();
    userChanged_ = false;
}

void TConfigWord::bOKClick()
{
    StoreChanges();
    pending_ = TPendingCommit::AfterOk;
    hide();
}

void TConfigWord::bApplyClick()
{
    StoreChanges();
    pending_ = TPendingCommit::AfterApply;
}

// Cancel forgets the edits but not an earlier Apply: what is pending stays.
void TConfigWord::bCancelClick()
{
    userChanged_ = false;
    profileTyped_ = false;
    hide();
}

// Pulse 2 becomes the DISP output, and the two DISP lines show registers
// 770 and 768.
void TConfigWord::bDISPClick()
{
    xConfigWord_.boxes[0]->setChecked(true);
    SetEditText(ebSP[6], "770");
    SetEditText(ebSP[7], "768");
    bApplyClick();
}

// The values stored come from the controls; when they hold a loaded
// profile, the registers the commit will write are kept to be checked when
// the meter's block is read back.
void TConfigWord::StoreChanges()
{
    newValues_ = ControlValues();
    commitSeen_ = false;
    if (!profileTyped_)
        return;
    profileTyped_ = false;
    profileWrites_.clear();
    for (int reg = RegPTPrimary; reg <= RegXConfigWord; ++reg)
        if (int32_t value = 0; RegisterChanged(reg, value))
            profileWrites_[reg] = value;
    labProfile->setText(profileWrites_.empty()
                            ? QString("The profile matches the meter: there is nothing to write.")
                            : QString("Writing the profile: %1 registers.").arg(profileWrites_.size()));
}

// The registers that OK and Apply store, as the controls show them; every
// other index is 0.
TConfigWord::TValues TConfigWord::ControlValues() const
{
    TValues values{};
    const auto plain = PlainEdits();
    for (int k = 0; k < int(plain.size()); ++k)
        values[RegPTPrimary + k] = RegisterInt(plain[k]->text());
    values[RegPulseValue] = pulseValue_.raw;
    values[RegOutputASource] = SourceOf(cbOutputA).Code;
    values[RegOutputBSource] = SourceOf(cbOutputB).Code;
    values[RegOutputA0V] = outA0_.raw;
    values[RegOutputB0V] = outB0_.raw;
    values[RegOutputA10V] = outA10_.raw;
    values[RegOutputB10V] = outB10_.raw;
    values[RegConfigWord] = HexValue(configWord_.edit->text()).value_or(configWord_.fallback);
    values[RegXConfigWord] = HexValue(xConfigWord_.edit->text()).value_or(xConfigWord_.fallback);
    for (int k = 0; k < 8; ++k)
        values[RegScratchPad0 + k] = RegisterInt(ebSP[k]->text());
    return values;
}

bool TConfigWord::RegisterChanged(int reg, int32_t& newValue) const
{
    if (reg < RegPTPrimary || reg > RegXConfigWord)
        return false;
    // The fixed register, the reset register, the calibration registers and
    // the serial number are neither shown for editing nor written.
    if (reg == RegFixed12345 || reg == RegResetRegister || (reg >= RegVoltageThreshold && reg <= RegSerialNumber))
        return false;
    newValue = newValues_[reg];
    // A write sends the low 16 bits, so a value differs only when those do:
    // a word with bit 15 set is held negative when read and positive when
    // typed, and is still the same word.
    return Unsigned16(newValue) != Unsigned16(readValues_[reg]);
}

void TConfigWord::LoadValues(std::span<const int32_t> values)
{
    const int count = std::min<int>(int(values.size()), ValueCount);
    for (int i = 0; i < count; ++i)
        readValues_[i] = i >= RegSerialNumber ? values[i] : int16_t(values[i] & 0xFFFF);

    SetEditText(ebSerialNo, QString::number(readValues_[RegSerialNumber]));
    for (int k = 0; k < 8; ++k)
        SetEditText(ebSP[k], QString::number(readValues_[RegScratchPad0 + k]));
    const auto plain = PlainEdits();
    for (int k = 0; k < int(plain.size()); ++k)
        SetEditText(plain[k], QString::number(Unsigned16(readValues_[RegPTPrimary + k])));

    pulseValue_.raw = Unsigned16(readValues_[RegPulseValue]);
    outA0_.raw = readValues_[RegOutputA0V];
    outA10_.raw = readValues_[RegOutputA10V];
    outB0_.raw = readValues_[RegOutputB0V];
    outB10_.raw = readValues_[RegOutputB10V];
    SelectSource(cbOutputA, readValues_[RegOutputASource]);
    SelectSource(cbOutputB, readValues_[RegOutputBSource]);

    SetEditText(configWord_.edit, Hex4(readValues_[RegConfigWord]));
    SetEditText(xConfigWord_.edit, Hex4(readValues_[RegXConfigWord]));

    // A load replaces every text, even in the field that holds the caret:
    // a stale text there would be taken back as the user's value on leaving.
    for (TScaledEdit* scaled : ScaledEdits())
        SetEditText(scaled->edit, TagToText(*scaled));
    cbIncludeRatiosClick();
    ClearBold();
    SetLoaded();
    profileTyped_ = false;
    CheckCommittedProfile();
}

void TConfigWord::ShowCommitFailures(const QStringList& failures)
{
    labCommit->setText(failures.join('\n'));
    labCommit->setVisible(!failures.isEmpty());
}

void TConfigWord::SetLoaded()
{
    for (QPushButton* button : {bOK, bApply, bDISP})
        button->setEnabled(true);
}

void TConfigWord::ControlChange(QWidget* sender)
{
    userChanged_ = true;
    if (auto* edit = qobject_cast<TAlignMaskEdit*>(sender)) {
        if (edit == configWord_.edit)
            SetWordBits(configWord_, HexValue(edit->text()).value_or(0));
        else if (edit == xConfigWord_.edit)
            SetWordBits(xConfigWord_, HexValue(edit->text()).value_or(0));
        else if (edit == pulseValue_.edit && edit->isModified())
            SyncRawFromText(pulseValue_); // the user's text, not a rendering or a revert
        SetBold(edit, true);
    } else if (qobject_cast<QComboBox*>(sender)) {
        SetBold(sender, true);
    }
    const bool disp = xConfigWord_.boxes[0]->isChecked();
    labSP[6]->setText(disp ? "DISP Line 1:" : "Scratchpad [7]:");
    labSP[7]->setText(disp ? "DISP Line 2:" : "Scratchpad [8]:");
    cbIncludeRatiosClick();
}

void TConfigWord::ClearBold()
{
    const auto plain = PlainEdits();
    std::vector<QWidget*> marked(plain.begin(), plain.end());
    marked.insert(marked.end(), {cbOutputA, cbOutputB, ebSerialNo, configWord_.edit, xConfigWord_.edit});
    for (const TScaledEdit* scaled : ScaledEdits())
        marked.push_back(scaled->edit);
    marked.insert(marked.end(), ebSP.begin(), ebSP.end());
    for (QWidget* widget : marked)
        SetBold(widget, false);
}

// Shows the raw values of the scaled edits in the current scale and units.
// The field being typed in is left alone, so the user's text survives until
// the field is left.
void TConfigWord::cbIncludeRatiosClick()
{
    for (TScaledEdit* scaled : ScaledEdits())
        if (!scaled->edit->hasFocus())
            SetEditText(scaled->edit, TagToText(*scaled));
    const QString unitA = SourceOf(cbOutputA).Unit;
    const QString unitB = SourceOf(cbOutputB).Unit;
    labA1->setText(unitA);
    labA2->setText(unitA);
    labB1->setText(unitB);
    labB2->setText(unitB);
}

// While the user types in the word edit the boxes follow it; a box clicked
// rewrites the edit.
void TConfigWord::WordBoxClick(TWordEdit& word)
{
    if (!word.edit->hasFocus())
        SetEditText(word.edit, Hex4(CalculateWord(word)));
}

void TConfigWord::ebExit(TAlignMaskEdit* edit)
{
    TScaledEdit* scaled = ScaledEditOf(edit);
    if (!ParseNumber(edit->text())) {
        // A scaled field shows its value again, which stays unchanged.
        if (scaled)
            RevertScaledEdit(*scaled);
        else
            SetEditText(edit, QStringLiteral("1"));
        ShowFieldError(edit, "Input must be a number");
        return;
    }
    if (scaled)
        ExitScaledEdit(*scaled);
    else
        ExitWholeNumberEdit(edit);
}

// Takes the user's text as the raw value and shows the value that will be
// stored. A value the register cannot hold is refused: the field keeps the
// value it had before the change.
void TConfigWord::ExitScaledEdit(TScaledEdit& scaled)
{
    SyncRawFromText(scaled);
    if (scaled.raw < scaled.lowest || scaled.raw > scaled.highest) {
        RevertScaledEdit(scaled);
        ShowRangeError(scaled.edit, RawToText(scaled, scaled.lowest), RawToText(scaled, scaled.highest));
        return;
    }
    SetEditText(scaled.edit, TagToText(scaled));
}

void TConfigWord::RevertScaledEdit(TScaledEdit& scaled)
{
    scaled.raw = scaled.enteredRaw;
    SetEditText(scaled.edit, TagToText(scaled));
}

// A ratio or demand period is a whole number: a fraction is cut to its whole
// part, so the field shows what will be written.
void TConfigWord::ExitWholeNumberEdit(TAlignMaskEdit* edit)
{
    const long double number = std::trunc(ParseNumber(edit->text()).value_or(1));
    if (!RefuseOutsideRegister(edit, number))
        SetEditText(edit, QString::number(qlonglong(number)));
}

// A scratchpad takes any text (one that is not a whole number is stored as
// 1), but a number the register cannot hold is refused.
void TConfigWord::ExitScratchpad(TAlignMaskEdit* edit)
{
    if (const std::optional<long double> number = ParseNumber(edit->text()))
        RefuseOutsideRegister(edit, *number);
}

// The unsigned 16-bit registers: a number outside them is refused and the
// field goes back to its text from before the change.
bool TConfigWord::RefuseOutsideRegister(TAlignMaskEdit* edit, long double number)
{
    constexpr int32_t highest = 0xFFFF;
    if (number >= 0 && number <= highest)
        return false;
    edit->RevertUserChange();
    ShowRangeError(edit, QString::number(0), QString::number(highest));
    return true;
}

void TConfigWord::ShowRangeError(const QWidget* field, const QString& lowest, const QString& highest)
{
    ShowFieldError(field, QString("Input must be between %1 and %2").arg(lowest, highest));
}

// The message starts with the field's caption as the dialog shows it, so
// that the user knows which field it is about after the focus has moved on.
void TConfigWord::ShowFieldError(const QWidget* field, const QString& message)
{
    ShowMessageBox(this, QMessageBox::Critical, "Error", FieldCaption(field) + ": " + message, QMessageBox::Ok);
}

// A scratchpad's caption changes with the DISP bit, so it is read from its label.
QString TConfigWord::FieldCaption(const QWidget* field) const
{
    for (int k = 0; k < int(ebSP.size()); ++k)
        if (field == ebSP[k])
            return labSP[k]->text().remove(QRegularExpression(":$"));
    const auto found = captions_.find(field);
    return found != captions_.end() ? found->second : field->objectName();
}

TOutputSource TConfigWord::SourceOf(const QComboBox* combo)
{
    const int row = combo->currentIndex();
    if (row >= 0 && row < KnownSourceRows)
        return OutputSources[row];
    return UnknownSource(combo->itemData(row).toInt());
}

TOutputSource TConfigWord::SourceOf(const TScaledEdit& scaled) const
{
    return scaled.source ? SourceOf(scaled.source) : OutputSources[0];
}

// Selects the row of a source code. A code the table lacks gets a row of its
// own after the known ones, so that it is shown and stored as it came.
void TConfigWord::SelectSource(QComboBox* combo, int32_t code)
{
    const QSignalBlocker blocker(combo);
    if (const std::optional<int> row = FindIndex(code)) {
        combo->setCurrentIndex(*row);
        if (combo->count() > KnownSourceRows)
            combo->removeItem(KnownSourceRows);
        return;
    }
    const QString caption = SourceCaption(UnknownSource(code));
    if (combo->count() > KnownSourceRows) {
        combo->setItemText(KnownSourceRows, caption);
        combo->setItemData(KnownSourceRows, code);
    } else {
        combo->addItem(caption, code);
    }
    combo->setCurrentIndex(KnownSourceRows);
}

long double TConfigWord::Multiplier(const TOutputSource& source) const
{
    const auto ratio = [](const QLineEdit* primary, const QLineEdit* secondary) {
        const long double denominator = RatioPart(secondary->text());
        return RatioPart(primary->text()) / (denominator == 0 ? 1 : denominator);
    };
    return SourceMultiplier(source, cbIncludeRatios->isChecked(), ratio(ebPT_Pri, ebPT_Sec),
                            ratio(ebCT_Pri, ebCT_Sec));
}

QString TConfigWord::TagToText(const TScaledEdit& scaled) const
{
    return RawToText(scaled, scaled.raw);
}

QString TConfigWord::RawToText(const TScaledEdit& scaled, int32_t raw) const
{
    const TOutputSource source = SourceOf(scaled);
    return ::TagToText(source, raw, Multiplier(source));
}

// The raw value follows the text only when the text is not already the
// rendering of it: showing a value must never change it, even where the
// rendering rounds.
void TConfigWord::SyncRawFromText(TScaledEdit& scaled)
{
    const QString text = scaled.edit->text();
    if (text == TagToText(scaled))
        return;
    const TOutputSource source = SourceOf(scaled);
    scaled.raw = ::TextToTag(source, text, Multiplier(source));
}

std::array<TAlignMaskEdit*, 5> TConfigWord::PlainEdits() const
{
    return {ebPT_Pri, ebPT_Sec, ebCT_Pri, ebCT_Sec, ebDemandPeriod};
}

std::array<TConfigWord::TScaledEdit*, 5> TConfigWord::ScaledEdits()
{
    return {&pulseValue_, &outA0_, &outA10_, &outB0_, &outB10_};
}

TConfigWord::TScaledEdit* TConfigWord::ScaledEditOf(const QObject* object)
{
    for (TScaledEdit* scaled : ScaledEdits())
        if (scaled->edit == object)
            return scaled;
    return nullptr;
}

bool TConfigWord::IsNumericEdit(const QObject* object)
{
    const auto plain = PlainEdits();
    return std::find(plain.begin(), plain.end(), object) != plain.end() || ScaledEditOf(object) != nullptr;
}

bool TConfigWord::IsWordEdit(const QObject* object) const
{
    return object == configWord_.edit || object == xConfigWord_.edit;
}

bool TConfigWord::IsScratchpad(const QObject* object) const
{
    return std::find(ebSP.begin(), ebSP.end(), object) != ebSP.end();
}

int TConfigWord::CalculateWord(const TWordEdit& word)
{
    int value = 0;
    for (int bit = 0; bit < 16; ++bit)
        if (word.boxes[bit]->isChecked())
            value |= 1 << bit;
    return value;
}

void TConfigWord::SetWordBits(TWordEdit& word, int32_t value)
{
    for (int bit = 0; bit < 16; ++bit)
        word.boxes[bit]->setChecked((value >> bit) & 1);
}

bool TConfigWord::Loaded() const
{
    return bOK->isEnabled();
}

void TConfigWord::bSaveProfileClick()
{
    QString fileName = SaveFileName(this, "Save Profile", QString(), "Configuration profiles (*.ini);;All files (*)");
    if (fileName.isEmpty())
        return;
    if (QFileInfo(fileName).suffix().isEmpty())
        fileName += ".ini";
    SaveProfile(fileName);
}

void TConfigWord::bLoadProfileClick()
{
    const QString fileName =
        OpenFileName(this, "Load Profile", QString(), "Configuration profiles (*.ini);;All files (*)");
    if (!fileName.isEmpty())
        LoadProfile(fileName);
}

bool TConfigWord::SaveProfile(const QString& fileName)
{
    if (!Loaded()) {
        ShowMessageBox(this, QMessageBox::Warning, "Save Profile",
                       "The meter's configuration has not been read yet: there is nothing to save.");
        return false;
    }
    const TValues values = ControlValues();
    TConfigProfile profile;
    for (int reg = RegPTPrimary; reg <= RegXConfigWord; ++reg) {
        if (!ConfigProfile::IsProfileRegister(reg))
            continue;
        profile.Values[reg] = Unsigned16(values[reg]);
        profile.Meanings[reg] = Meaning(reg, values[reg]);
    }
    const TMeterIdentity meter = identity_ ? identity_() : TMeterIdentity{};
    profile.SerialNumber = QString::number(readValues_[RegSerialNumber]);
    profile.Address = meter.Address;
    if (meter.SoftwareVersion)
        profile.SoftwareVersion = SoftwareVersionText(*meter.SoftwareVersion);
    profile.Date = QDate::currentDate().toString(Qt::ISODate);
    QString error;
    if (!ConfigProfile::Save(fileName, profile, error)) {
        ShowMessageBox(this, QMessageBox::Critical, "Save Profile",
                       QString("The profile could not be saved to %1: %2").arg(fileName, error));
        return false;
    }
    labProfile->setText(QString("Profile saved to %1.").arg(QFileInfo(fileName).fileName()));
    return true;
}

bool TConfigWord::LoadProfile(const QString& fileName)
{
    if (!Loaded()) {
        ShowMessageBox(this, QMessageBox::Warning, "Load Profile",
                       "The meter's configuration has not been read yet: load the profile once the editor shows "
                       "the meter's values.");
        return false;
    }
    TConfigProfile profile;
    QString error;
    if (!ConfigProfile::Load(fileName, profile, error)) {
        ShowMessageBox(this, QMessageBox::Critical, "Load Profile", error);
        return false;
    }
    if (!AcceptSoftwareVersion(fileName, profile))
        return false;
    TypeProfile(profile.Values);
    profileTyped_ = true;
    labProfile->setText(QString("Profile %1 of meter %2 (%3) loaded: check the values in bold, then OK or Apply.")
                            .arg(QFileInfo(fileName).fileName(), profile.SerialNumber, profile.Date));
    return true;
}

// Registers may mean other things on other software: a profile from another
// version, or one whose version is not known, is loaded only when the user
// says so.
bool TConfigWord::AcceptSoftwareVersion(const QString& fileName, const TConfigProfile& profile)
{
    const std::optional<double> meter = identity_ ? identity_().SoftwareVersion : std::nullopt;
    bool isNumber = false;
    const double made = profile.SoftwareVersion.toDouble(&isNumber);
    if (meter && isNumber && SoftwareVersionText(made) == SoftwareVersionText(*meter))
        return true;
    const QString madeOn = isNumber ? QString("on software version %1").arg(SoftwareVersionText(made))
                                    : QString("on a meter whose software version it does not record");
    const QString runs = meter ? QString("this meter runs software version %1").arg(SoftwareVersionText(*meter))
                               : QString("the software version of this meter is not known");
    const QString text = QString("The profile %1 was made %2, and %3. Its registers may mean other things on "
                                 "other software.\n\nLoad it anyway?")
                             .arg(QFileInfo(fileName).fileName(), madeOn, runs);
    return ShowMessageBox(this, QMessageBox::Warning, "Load Profile", text, QMessageBox::Yes | QMessageBox::No)
           == QMessageBox::Yes;
}

// The values go into the controls the way typing puts them there: each
// control that changes is marked bold and the user's change is noted, so
// that polling leaves them alone until OK, Apply or Cancel. The ratios come
// first, since the scaled values are shown through them.
void TConfigWord::TypeProfile(const std::map<int, int32_t>& values)
{
    const auto value = [&values](int reg) -> std::optional<int32_t> {
        const auto found = values.find(reg);
        return found == values.end() ? std::nullopt : std::optional<int32_t>(found->second);
    };
    const auto plain = PlainEdits();
    for (int k = 0; k < int(plain.size()); ++k)
        if (const auto v = value(RegPTPrimary + k))
            SetEditText(plain[k], QString::number(*v));
    if (const auto v = value(RegOutputASource))
        TypeSource(cbOutputA, *v);
    if (const auto v = value(RegOutputBSource))
        TypeSource(cbOutputB, *v);
    if (const auto v = value(RegPulseValue))
        TypeScaled(pulseValue_, *v);
    const std::pair<int, TScaledEdit*> outputs[] = {
        {RegOutputA0V, &outA0_}, {RegOutputB0V, &outB0_}, {RegOutputA10V, &outA10_}, {RegOutputB10V, &outB10_}};
    for (const auto& [reg, scaled] : outputs)
        if (const auto v = value(reg))
            TypeScaled(*scaled, int16_t(*v));
    if (const auto v = value(RegConfigWord))
        SetEditText(configWord_.edit, Hex4(*v));
    if (const auto v = value(RegXConfigWord))
        SetEditText(xConfigWord_.edit, Hex4(*v));
    for (int k = 0; k < 8; ++k)
        if (const auto v = value(RegScratchPad0 + k))
            SetEditText(ebSP[k], QString::number(*v));
    cbIncludeRatiosClick();
}

void TConfigWord::TypeScaled(TScaledEdit& scaled, int32_t raw)
{
    if (scaled.raw == raw)
        return;
    scaled.raw = raw;
    scaled.enteredRaw = raw;
    const QString text = TagToText(scaled);
    if (scaled.edit->text() == text)
        ControlChange(scaled.edit); // a new value with the same rendering is still a change
    else
        scaled.edit->setText(text);
}

void TConfigWord::TypeSource(QComboBox* combo, int32_t code)
{
    if (SourceOf(combo).Code == code)
        return;
    SelectSource(combo, code);
    ControlChange(combo);
}

// "Name: value" in engineering units, as the editor shows it.
QString TConfigWord::Meaning(int reg, int32_t value) const
{
    const auto def = RegisterBitDefs::Lookup(reg);
    const QString name = def ? QString(def->Name) : QString("Register %1").arg(reg);
    const auto withUnit = [](const QString& text, const QLabel* unit) {
        return unit->text().isEmpty() ? text : text + " " + unit->text();
    };
    QString text;
    switch (reg) {
    case RegPulseValue: text = withUnit(RawToText(pulseValue_, value), labPulse); break;
    case RegOutputASource: text = cbOutputA->currentText(); break;
    case RegOutputBSource: text = cbOutputB->currentText(); break;
    case RegOutputA0V: text = withUnit(RawToText(outA0_, value), labA1); break;
    case RegOutputB0V: text = withUnit(RawToText(outB0_, value), labB1); break;
    case RegOutputA10V: text = withUnit(RawToText(outA10_, value), labA2); break;
    case RegOutputB10V: text = withUnit(RawToText(outB10_, value), labB2); break;
    case RegConfigWord: text = WordMeaning(configWord_, value); break;
    case RegXConfigWord: text = WordMeaning(xConfigWord_, value); break;
    default: text = QString::number(value); break;
    }
    return name + ": " + text;
}

// The word in hexadecimal with the descriptions of its set bits.
QString TConfigWord::WordMeaning(const TWordEdit& word, int32_t value) const
{
    QStringList bits;
    for (int bit = 15; bit >= 0; --bit)
        if ((value >> bit) & 1)
            bits << QString("bit %1 %2").arg(bit).arg(word.boxes[bit]->toolTip());
    const QString hex = "0x" + Hex4(value);
    return bits.isEmpty() ? hex : hex + " (" + bits.join("; ") + ")";
}

namespace {

// A register value as the meter's block holds it: the words in hexadecimal,
// the output values signed, everything else unsigned.
QString RegisterValueText(int reg, int32_t value)
{
    if (reg == RegConfigWord || reg == RegXConfigWord)
        return "0x" + Hex4(value);
    if (reg >= RegOutputA0V && reg <= RegOutputB10V)
        return QString::number(int16_t(value & 0xFFFF));
    return QString::number(Unsigned16(value));
}

} // namespace

// After the commit of a loaded profile the block has been read back: every
// register written must read as written.
void TConfigWord::CheckCommittedProfile()
{
    if (!commitSeen_ || profileWrites_.empty())
        return;
    commitSeen_ = false;
    QStringList refused;
    for (const auto& [reg, written] : profileWrites_) {
        const int32_t read = readValues_[reg];
        if (Unsigned16(read) == Unsigned16(written))
            continue;
        const auto def = RegisterBitDefs::Lookup(reg);
        refused << QString("%1 (register %2): written %3, the meter reads %4")
                       .arg(def ? def->Name : "?")
                       .arg(reg)
                       .arg(RegisterValueText(reg, written), RegisterValueText(reg, read));
    }
    const auto count = profileWrites_.size();
    profileWrites_.clear();
    if (refused.isEmpty()) {
        labProfile->setText(QString("Profile written: the meter reads back all %1 registers as written.").arg(count));
        return;
    }
    const QString text = "The meter did not take every register of the profile:\n" + refused.join('\n');
    labProfile->setText(text);
    // Shown once the pass that read the block back has ended, so that the
    // pass is not held inside the message box.
    QTimer::singleShot(0, this, [this, text] { ShowMessageBox(this, QMessageBox::Warning, "ConfigWord", text); });
}
