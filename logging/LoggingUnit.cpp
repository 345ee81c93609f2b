#include "LoggingUnit.h"

#include "IniFile.h"
#include "LogSettings.h"
#include "FileDialogs.h"
#include "MessageBoxes.h"
#include "ScreenPlacement.h"
#include "WholeScrollArea.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

using LogFile::DefaultFrequency;

// The quantities of each group box, as [first, last) entry ranges; the
// toggle with tag t ticks group t.
struct TGroup {
    const char* Title;
    const char* ToggleCaption;
    std::size_t First;
    std::size_t Last;
};
constexpr std::array<TGroup, 3> Groups{{
    {"Basic", "All Basic", 0, 10},
    {"Advanced", "All Advanced", 10, 32},
    {"Detailed", "All Detailed", 32, 60},
}};

// Check boxes inside a group: 20 pixels from its left, 15 + 15 k from its
// top, 185 wide. The layout was drawn for a narrow 8-point font with the
// group's title on its frame line; with a wider font or a style that puts
// the title above the frame, the boxes grow to their captions and start
// below the title, so that no caption is cut off and no box hides the frame.
constexpr int DialogPointSize = 8;
constexpr int BoxLeft = 20;
constexpr int BoxTop = 15;
constexpr int BoxPitch = 15;
constexpr int BoxWidth = 185;
constexpr int GroupMargin = 10;

const QString ExistingFileWarning =
    "WARNING: Log file currently exists.  Changing the logging parmaters may cause the columns to improperly "
    "align.  Make sure to change the log file if new logging parameters are selected!  Do you want to select a "
    "new log file?";

// Where the group's contents begin below its title, in the current style.
int ContentsTop(const QGroupBox& group)
{
    QStyleOptionGroupBox option;
    option.initFrom(&group);
    option.rect = QRect(0, 0, 400, 400);
    option.text = group.title();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxContents;
    return group.style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxContents, &group).top();
}

} // namespace

TLogging::TLogging(const QString& settingsFile, const QString& applicationDirectory, QWidget* parent)
    : QDialog(parent), settingsFile_(settingsFile), applicationDirectory_(applicationDirectory)
{
    FormCreate();
}

void TLogging::FormCreate()
{
    setObjectName("Logging");
    setWindowTitle("Logging");
    QFont small = font();
    small.setPointSize(DialogPointSize);
    setFont(small);

    QLayout* fileAndFrequency = CreateFileAndFrequency();
    QGroupBox* basic = CreateGroup(Groups[0].Title, Groups[0].First, Groups[0].Last);
    QGroupBox* advanced = CreateGroup(Groups[1].Title, Groups[1].First, Groups[1].Last);
    QGroupBox* detailed = CreateGroup(Groups[2].Title, Groups[2].First, Groups[2].Last);
    QLayout* toggles = CreateToggles();

    BitBtn1 = new QPushButton("OK", this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &TLogging::BitBtn1Click);

    auto* left = new QVBoxLayout;
    left->addWidget(basic);
    left->addWidget(advanced);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(detailed);
    right->addLayout(toggles);
    right->addStretch();
    // The quantities scroll on a screen too small for them; the file, the
    // interval and OK stay in sight.
    auto* body = new QWidget;
    body->setObjectName("body");
    auto* columns = new QHBoxLayout(body);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->addLayout(left);
    columns->addLayout(right);
    auto* scroll = new TWholeScrollArea(body);
    scroll->setObjectName("sbBody");
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fileAndFrequency);
    layout->addWidget(scroll, 1);
    layout->addWidget(BitBtn1, 0, Qt::AlignRight);

    SaveDialog = NewFileDialog(this, "Log File", QDir::homePath());
    SaveDialog->setObjectName("SaveDialog");
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog->setDefaultSuffix("csv");
    SaveDialog->setNameFilters({"CSV (*.csv)", "Text File (*.txt)", "All Files (*)"});

    LoadSettings();
}

QLayout* TLogging::CreateFileAndFrequency()
{
    Filename = new QLineEdit(this);
    Filename->setObjectName("Filename");
    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setText("...");
    SpeedButton1->setToolTip("Choose the log file");
    connect(SpeedButton1, &QToolButton::clicked, this, &TLogging::SpeedButton1Click);

    Frequency = new QLineEdit(QString::number(DefaultFrequency), this);
    Frequency->setObjectName("Frequency");
    Frequency->setFixedWidth(Frequency->fontMetrics().horizontalAdvance("000000") + 12);
    Frequency->installEventFilter(this);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Log File:", this), 0, 0);
    grid->addWidget(Filename, 0, 1, 1, 3);
    grid->addWidget(SpeedButton1, 0, 4);
    grid->addWidget(new QLabel("Frequency:", this), 1, 0);
    grid->addWidget(Frequency, 1, 1);
    grid->addWidget(new QLabel("(seconds)", this), 1, 2);
    grid->setColumnStretch(3, 1);
    return grid;
}

QGroupBox* TLogging::CreateGroup(const char* title, std::size_t first, std::size_t last)
{
    auto* group = new QGroupBox(title, this);
    group->setObjectName(title);
    const int top = std::max(BoxTop, ContentsTop(*group));
    const int width = std::max(BoxWidth, WidestCaption());
    int height = 0;
    for (std::size_t i = first; i < last; ++i) {
        auto* box = new QCheckBox(LogParameters[i].Caption, group);
        box->setObjectName("CB_" + QString::number(i));
        height = box->sizeHint().height();
        box->setGeometry(BoxLeft, top + BoxPitch * int(i - first), width, height);
        connect(box, &QCheckBox::toggled, this, [this, i](bool checked) { CheckBoxClick(i, checked); });
        CB[i] = box;
    }
    group->setFixedSize(BoxLeft + width + GroupMargin, top + BoxPitch * int(last - first - 1) + height + GroupMargin);
    return group;
}

int TLogging::WidestCaption() const
{
    QCheckBox probe;
    probe.setFont(font());
    int widest = 0;
    for (const TLogParameter& parameter : LogParameters) {
        probe.setText(parameter.Caption);
        widest = std::max(widest, probe.sizeHint().width());
    }
    return widest;
}

QLayout* TLogging::CreateToggles()
{
    auto* column = new QVBoxLayout;
    for (int tag = 0; tag < int(Groups.size()); ++tag) {
        auto* toggle = new QCheckBox(Groups[std::size_t(tag)].ToggleCaption, this);
        toggle->setObjectName("cbToggle" + QString::number(tag + 1));
        connect(toggle, &QCheckBox::clicked, this, [this, tag] { cbToggleClick(tag); });
        cbToggle[std::size_t(tag)] = toggle;
        column->addWidget(toggle);
    }
    return column;
}

void TLogging::LoadSettings()
{
    ShowSettings(LogSettings::Read(TIniFile(settingsFile_), applicationDirectory_));
}

void TLogging::ShowSettings(const TLogSettings& settings)
{
    Filename->setText(settings.FileName);
    Frequency->setText(QString::number(settings.Frequency));
    for (std::size_t i = 0; i < LogParameterCount; ++i)
        CB[i]->setChecked(settings.Selection[i]);
}

TLogSettings TLogging::ShownSettings() const
{
    TLogSettings settings{FileName(), FrequencySeconds(), {}};
    for (std::size_t i = 0; i < LogParameterCount; ++i)
        settings.Selection[i] = CB[i]->isChecked();
    return settings;
}

LogFile::TAppendResult TLogging::WriteToLog(const TMeterKey& meter, const TLogValues& values, const QDateTime& time,
                                            const QLocale& locale)
{
    const TLogSelection selected = Selection();
    return LogFile::AppendRecordTo(FileOf(meter), LogFile::HeaderLine(selected, locale),
                                   LogFile::RecordLine(values, selected, time, locale));
}

QString TLogging::FileName() const
{
    return Filename->text();
}

QString TLogging::FileOf(const TMeterKey& meter) const
{
    return LogFile::MeterFileName(FileName(), meter.Name, meter.Address);
}

int TLogging::FrequencySeconds() const
{
    return LogFrequency(Frequency->text());
}

TLogSelection TLogging::Selection() const
{
    return confirmed_;
}

void TLogging::SetMessageTarget(std::function<void()> handler)
{
    messageTarget_ = std::move(handler);
}

int TLogging::LogFrequency(const QString& text)
{
    return LogFile::FrequencyFromText(text);
}

void TLogging::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TLogging::FormShow()
{
    opened_ = ShownSettings();
    // As large as all the quantities want, then cut down to the screen.
    resize(sizeHint());
    CentreOnScreen(*this);
    FitToScreen(*this);
}

void TLogging::closeEvent(QCloseEvent* event)
{
    if (isVisible())
        done(Accepted);
    event->accept();
}

// The settings are back before the dialog says it has finished, so that
// whoever listens reads the file the records go to. Hidden first, the marks
// put back ask nothing about the log file.
void TLogging::done(int result)
{
    if (result == Accepted) {
        FormClose();
    } else {
        hide();
        ShowSettings(opened_);
    }
    QDialog::done(result);
}

void TLogging::FormClose()
{
    // The edit shows the interval that is stored, also after an unusable text.
    Frequency->setText(QString::number(FrequencySeconds()));
    TIniFile ini(settingsFile_);
    LogSettings::Write(ini, ShownSettings());
    QString error;
    if (!ini.UpdateFile(&error))
        ShowMessageBox(this, QMessageBox::Warning, "Logging",
                       QString("The logging settings could not be saved to \"%1\": %2")
                           .arg(QDir::toNativeSeparators(settingsFile_), error));
}

void TLogging::BitBtn1Click()
{
    if (messageTarget_)
        messageTarget_();
    accept();
}

void TLogging::SpeedButton1Click()
{
    ChooseLogFile();
}

void TLogging::ChooseLogFile()
{
    if (!FileName().isEmpty())
        SaveDialog->selectFile(FileName());
    if (SaveDialog->exec() == QDialog::Accepted && !SaveDialog->selectedFiles().isEmpty())
        Filename->setText(QDir::toNativeSeparators(SaveDialog->selectedFiles().constFirst()));
}

bool TLogging::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Frequency && event->type() == QEvent::KeyPress)
        return FrequencyKeyPress(static_cast<const QKeyEvent&>(*event));
    if (watched == Frequency && event->type() == QEvent::FocusOut) {
        // Only leaving the field for another control of the dialog counts,
        // not a message box or another window taking the focus.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            FrequencyExit();
    }
    return QDialog::eventFilter(watched, event);
}

bool TLogging::FrequencyKeyPress(const QKeyEvent& key) const
{
    // Keys that type no character (arrows, Tab, Return, shortcuts) keep
    // their meaning; of the characters only digits reach the edit.
    const QString text = key.text();
    if (key.key() == Qt::Key_Backspace || text.isEmpty() || !text.front().isPrint())
        return false;
    return !(text.size() == 1 && text.front() >= '0' && text.front() <= '9');
}

void TLogging::FrequencyExit()
{
    int seconds = 0;
    if (LogFile::ParseFrequency(Frequency->text(), seconds))
        return;
    ShowMessageBox(this, QMessageBox::Critical, "Logging", "Logging Frequency Must be between 5 and 3600 seconds",
                   QMessageBox::Ok);
    Frequency->setText(QString::number(DefaultFrequency));
}

void TLogging::cbToggleClick(int tag)
{
    const TGroup& group = Groups[std::size_t(tag)];
    const bool checked = cbToggle[std::size_t(tag)]->isChecked();
    for (std::size_t i = group.First; i < group.Last; ++i)
        CB[i]->setChecked(checked);
}

// A changed mark counts for the records only once it is settled: while the
// question about an existing file of a meter's records (or the file chooser after Yes) is open,
// log ticks go on with the entries as they were, and after Cancel nothing of
// the change has reached the file.
void TLogging::CheckBoxClick(std::size_t index, bool checked)
{
    if (restoring_[index])
        return;
    if (isVisible() && LogFile::MeterFilesExist(FileName())) {
        const auto answer = ShowMessageBox(this, QMessageBox::Warning, "Logging", ExistingFileWarning,
                                           QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        if (answer == QMessageBox::Yes) {
            ChooseLogFile();
        } else if (answer != QMessageBox::No) {
            restoring_[index] = true;
            CB[index]->setChecked(!checked);
            restoring_[index] = false;
            return;
        }
    }
    confirmed_[index] = checked;
}
