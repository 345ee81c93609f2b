#include "main.h"

#include "CmdLine.h"
#include "ConfigWordUnit.h"
#include "DataLogger.h"
#include "ElidedLabel.h"
#include "FileDialogs.h"
#include "IniFile.h"
#include "LoggingUnit.h"
#include "MenuShortcuts.h"
#include "MessageBoxes.h"
#include "MeterScan.h"
#include "PortWatch.h"
#include "ModbusConnection.h"
#include "WiringCheckWindow.h"
#include "frmAddressUnit.h"
#include "frmCTSettings.h"
#include "frmComSelect.h"
#include "frmModbusData.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QUrl>

#include <algorithm>

namespace {

constexpr int WindowWidth = 910;
constexpr int WindowHeight = 835;
constexpr int CalibrateBoxHeight = 265;
const char* const VersionText = "5.7 (Oct 15, 2014)";
const char* const PageName = "Float";
const char* const BanksFile = "RegisterBanks.ini";

// The polling interval in ms. Below the minimum the meter would be polled
// flat out; above the maximum the window would seem dead.
constexpr int DefaultPollingInterval = 1000;
constexpr int MinPollingInterval = 50;
constexpr int MaxPollingInterval = 3600000;

} // namespace

TForm1::TForm1(TAppPaths paths, QStringList arguments, QWidget* parent)
    : QMainWindow(parent), paths_(std::move(paths)), arguments_(std::move(arguments))
{
    setWindowTitle("Kelvane Power Transducer");
    auto* central = new QWidget(this);
    setCentralWidget(central);
    BuildMenus();
    BuildMeterList(central);
    PageControl1 = new QTabWidget(central);
    PageControl1->setObjectName("PageControl1");
    PageControl1->setGeometry(112, 0, 777, 489);
    BuildGeneralTab();
    BuildStatusBar();
    BuildCalibrateBox(central);
    resize(WindowWidth, WindowHeight);

    pages_ = std::make_unique<TDataPages>(*PageControl1, [this] { return kelvane_.get(); }, paths_.Directory);
    pages_->SetWriteBox(this);
    tPolling.setInterval(1000);
    connect(&tPolling, &QTimer::timeout, this, &TForm1::tPollingTimer);
    portWatch_ = new TPortWatch([this] { return kelvane_; }, [this] { PortBack(); }, this);
}

TForm1::~TForm1() = default;

void TForm1::SetDialogs(const TDialogs& dialogs)
{
    dialogs_ = dialogs;
    dialogs_.ConfigWord->SetMeterIdentity([this] {
        return TMeterIdentity{DeviceAddress(), kelvane_ ? MeterSoftwareVersion(*kelvane_) : std::nullopt};
    });
    logger_ = std::make_unique<TDataLogger>(*dialogs_.Logging, *LoggingEnabled,
                                            [this] { return kelvane_.get(); },
                                            [this](const QString& line) { AddMemoLine(Memo, line); }, this);
}

void TForm1::BuildMenus()
{
    QMenu* file = menuBar()->addMenu("&File");
    SaveParams = file->addAction("&Save Params");
    SaveParams->setShortcut(QKeySequence("Ctrl+S"));
    WriteParams = file->addAction("&Write Params");
    WriteParams->setShortcut(QKeySequence("Ctrl+W"));
    LoadSetup = file->addAction("&Load Setup");
    file->addAction("Dump Registers");
    QAction* exit = file->addAction("E&xit");
    exit->setShortcut(QKeySequence("Ctrl+X"));
    connect(exit, &QAction::triggered, this, &TForm1::Exit1Click);

    QMenu* logging = menuBar()->addMenu("Logging");
    LoggingEnabled = logging->addAction("Enable");
    LoggingEnabled->setCheckable(true);
    connect(logging->addAction("Configure"), &QAction::triggered, this, [this] { logger_->Configure1Click(); });

    QMenu* options = menuBar()->addMenu("&Options");
    QAction* address = options->addAction("Device &Address");
    address->setShortcut(QKeySequence("Ctrl+A"));
    connect(address, &QAction::triggered, this, [this] { dialogs_.frmAddress->show(); });
    QAction* configWord = options->addAction("Confi&g Word");
    configWord->setShortcut(QKeySequence("Ctrl+G"));
    connect(configWord, &QAction::triggered, this, [this] { dialogs_.ConfigWord->show(); });
    connect(options->addAction("Show Raw Data"), &QAction::triggered, this, [this] { dialogs_.ModbusData->show(); });
    connect(options->addAction("Find Meters..."), &QAction::triggered, this, &TForm1::FindMetersClick);
    // The wiring check is made when first asked for and judges every pass
    // from then on while it is showing.
    connect(options->addAction("Wiring Check"), &QAction::triggered, this, [this] {
        auto* window = findChild<TWiringCheckWindow*>();
        if (!window) {
            window = new TWiringCheckWindow([this] { return kelvane_.get(); }, this);
            connect(this, &TForm1::PassCompleted, window, &TWiringCheckWindow::PassCompleted);
        }
        window->show();
        window->raise();
    });

    // "Port" and "About" act as soon as they are chosen, like menu commands
    // that have no drop-down.
    QAction* port = menuBar()->addAction("Port");
    connect(port, &QAction::triggered, this, &TForm1::MenuPortClick);
    QAction* about = menuBar()->addAction("About");
    connect(about, &QAction::triggered, this, &TForm1::About1Click);
    for (QMenu* menu : {file, logging, options})
        WatchMenu(menu);
    new TMenuShortcuts(*menuBar());
}

// A pass skips its remaining banks while a drop-down menu is open, so that
// the menu answers at once.
void TForm1::WatchMenu(QMenu* menu)
{
    connect(menu, &QMenu::aboutToShow, this, [this] { MenuOpen = true; });
    connect(menu, &QMenu::aboutToHide, this, [this] { MenuOpen = false; });
}

void TForm1::BuildMeterList(QWidget* central)
{
    ListView = new QListWidget(central);
    ListView->setObjectName("ListView");
    ListView->setGeometry(3, 8, 105, 353);
    ListView->setSelectionMode(QAbstractItemView::SingleSelection);
    // Only a selection switches the meter: the list also moves its current
    // entry on its own (on focus, on a removal) with nothing selected.
    connect(ListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) {
                for (const QModelIndex& index : selected.indexes())
                    ListViewSelectItem(ListView->item(index.row()));
            });
    auto label = [central](const QString& text, int top) {
        auto* l = new QLabel(text, central);
        l->move(3, top);
    };
    label("Name:", 368);
    ebName = new QLineEdit(central);
    ebName->setGeometry(3, 384, 105, 21);
    label("Modbus ID:", 416);
    ebAddr = new QLineEdit(central);
    ebAddr->setGeometry(3, 432, 105, 21);
    bAdd = new QPushButton("Add", central);
    bAdd->setGeometry(3, 457, 57, 25);
    connect(bAdd, &QPushButton::clicked, this, &TForm1::bAddClick);
    bDelete = new QPushButton("Delete", central);
    bDelete->setGeometry(59, 457, 49, 25);
    connect(bDelete, &QPushButton::clicked, this, &TForm1::bDeleteClick);
}

// The General page holds the text logs and the register banks' controls.
// The user never sees it, but the program keeps writing to it.
void TForm1::BuildGeneralTab()
{
    TabGeneral = new QWidget(centralWidget());
    TabGeneral->setObjectName("TabGeneral");
    TabGeneral->hide();
    Memo = new QPlainTextEdit(TabGeneral);
    Memo->setGeometry(8, 8, 260, 200);
    Memo->setReadOnly(true);
    ComStatusMemo = new QPlainTextEdit(TabGeneral);
    ComStatusMemo->setGeometry(8, 216, 530, 220);
    ComStatusMemo->setReadOnly(true);
    cbLogData = new QCheckBox("Show Data", TabGeneral);
    cbLogData->move(280, 8);
    bClear = new QPushButton("Clear", TabGeneral);
    bClear->move(280, 32);
    connect(bClear, &QPushButton::clicked, this, &TForm1::bClearClick);
    lSetupFile = new QLabel("No Setup File Loaded", TabGeneral);
    lSetupFile->move(280, 64);
    lSetupFile->installEventFilter(this);
}

void TForm1::BuildStatusBar()
{
    const int widths[] = {400, 75, 75, 50, 50};
    for (int i = 0; i < 5; ++i) {
        StatusPanels[i] = new TElidedLabel(this);
        StatusPanels[i]->setFixedWidth(widths[i]);
        statusBar()->addWidget(StatusPanels[i]);
    }
    statusBar()->setSizeGripEnabled(false);
    bRXTXClear = new QPushButton("Clear", TabGeneral);
    connect(bRXTXClear, &QPushButton::clicked, this, &TForm1::bRXTXClearClick);
}

void TForm1::BuildCalibrateBox(QWidget* central)
{
    CalibrateBox = new QGroupBox("Calibration", central);
    CalibrateBox->setGeometry(112, 489, 777, CalibrateBoxHeight);
    auto* grid = new QGridLayout(CalibrateBox);
    BuildWriteBox(CalibrateBox);
    grid->addWidget(ebRead, 0, 0);
    grid->addWidget(ebWriteValue, 0, 1);
    grid->addWidget(rbHex, 0, 2);
    grid->addWidget(rbDec, 0, 3);
    grid->addWidget(cb32bit, 0, 4);
    grid->addWidget(bWriteSend, 0, 5);

    bReadRegs = new QPushButton("All", CalibrateBox);
    connect(bReadRegs, &QPushButton::clicked, this, &TForm1::bReadRegsClick);
    cbPolling = new QCheckBox("Polling", CalibrateBox);
    cbPolling->setChecked(true);
    connect(cbPolling, &QCheckBox::clicked, this, &TForm1::cbPollingClick);
    ebTimer = new QLineEdit("500", CalibrateBox);
    connect(ebTimer, &QLineEdit::textChanged, this, &TForm1::ebTimerChange);
    ebPhase = new QLineEdit(CalibrateBox);
    ebPhase->installEventFilter(this);
    grid->addWidget(bReadRegs, 1, 0);
    grid->addWidget(cbPolling, 1, 1);
    grid->addWidget(ebTimer, 1, 2);
    grid->addWidget(new QLabel("Phase:", CalibrateBox), 1, 3);
    grid->addWidget(ebPhase, 1, 4);

    auto* devid = new QGroupBox("Devid Mode", CalibrateBox);
    auto* devidGrid = new QGridLayout(devid);
    cbDevid = new QCheckBox("Devid Mode", devid);
    cbDevid->setEnabled(false);
    bFunc17 = new QPushButton("Function 17", devid);
    connect(bFunc17, &QPushButton::clicked, this, &TForm1::bFunc17Click);
    bF17Clear = new QPushButton("Clear", devid);
    connect(bF17Clear, &QPushButton::clicked, this, &TForm1::bF17ClearClick);
    memoF17 = new QPlainTextEdit(devid);
    memoF17->setReadOnly(true);
    devidGrid->addWidget(cbDevid, 0, 0);
    devidGrid->addWidget(bFunc17, 0, 1);
    devidGrid->addWidget(bF17Clear, 0, 2);
    devidGrid->addWidget(memoF17, 1, 0, 1, 3);
    grid->addWidget(devid, 2, 0, 1, 3);

    cbCOMPORT = new QComboBox(CalibrateBox);
    labDirectory = new QLabel(CalibrateBox);
    auto* bChooseDirectory = new QPushButton("...", CalibrateBox);
    connect(bChooseDirectory, &QPushButton::clicked, this, &TForm1::bChooseDirectoryClick);
    auto* bEdit = new QPushButton("Edit", CalibrateBox);
    connect(bEdit, &QPushButton::clicked, this, &TForm1::bEditClick);
    auto* bLogData = new QPushButton("Log", CalibrateBox);
    bLogData->setObjectName("bLogData");
    connect(bLogData, &QPushButton::clicked, this, [this, bLogData] { logger_->DoLogging(bLogData); });
    auto* bBeep = new QPushButton("Beep", CalibrateBox);
    connect(bBeep, &QPushButton::clicked, this, &TForm1::Beep3);
    auto* cbBeep = new QCheckBox("Beep", CalibrateBox);
    connect(cbBeep, &QCheckBox::clicked, this, [] { QApplication::beep(); });
    grid->addWidget(cbCOMPORT, 2, 3);
    grid->addWidget(labDirectory, 3, 0, 1, 2);
    grid->addWidget(bChooseDirectory, 3, 2);
    grid->addWidget(bEdit, 3, 3);
    grid->addWidget(bLogData, 3, 4);
    grid->addWidget(bBeep, 3, 5);
    grid->addWidget(cbBeep, 2, 4);
}

void TForm1::BuildWriteBox(QGroupBox* box)
{
    ebRead = new QLineEdit(box);
    ebWriteValue = new QLineEdit(box);
    ebWriteValue->installEventFilter(this);
    rbHex = new QRadioButton("Hex", box);
    rbHex->setChecked(true);
    rbDec = new QRadioButton("Dec", box);
    cb32bit = new QCheckBox("32bit", box);
    bWriteSend = new QPushButton("Write", box);
    connect(bWriteSend, &QPushButton::clicked, this, &TForm1::bWriteSendClick);
}

void TForm1::SetRegisterText(const QString& text)
{
    ebRead->setText(text);
}

QString TForm1::RegisterText() const
{
    return ebRead->text();
}

void TForm1::SetValueText(const QString& text)
{
    ebWriteValue->setText(text);
}

void TForm1::SelectDecimal()
{
    rbDec->setChecked(true);
}

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TForm1::FormShow()
{
    // The RX/TX "Clear" button lives in panel 3 of the status bar.
    StatusPanels[3]->setLayout(new QHBoxLayout);
    StatusPanels[3]->layout()->setContentsMargins(2, 1, 2, 1);
    StatusPanels[3]->layout()->addWidget(bRXTXClear);

    ApplySettings();

    tPolling.setInterval(PollingInterval());
    CalibrateBox->hide();
    CalibrateBox->setEnabled(false);
    resize(width(), WindowHeight - CalibrateBoxHeight);
    SaveParams->setVisible(false);
    WriteParams->setVisible(false);
    LoadSetup->setVisible(false);

    ReportMissingFiles();
    pages_->CreatePanel(PageName);
    for (TDataField* field : pages_->DataFields())
        connect(field, &TDataField::AddToTrendRequested, this, &TForm1::AddToTrend);
    QStringList ports;
    TKelvane::EnumComPorts(ports);
    ports.removeAll(dialogs_.ComSelect->PortText());
    cbCOMPORT->addItems(ports);
    cbCOMPORT->addItem("Manual");
    cbCOMPORT->setCurrentIndex(0);
    ReadRegisterBanksFromINI();
    MeterINI(false);
    ApplyPlacement();

    AddMemoLine(Memo, QString("Software Version: %1").arg(VersionText));
    AddMemoLine(Memo, "Modbus layer: Modbus/TCP client, version 2.41 (August 20, 2013)");
    KelvaneStart();
    cbPollingClick();
}

// The settings file and the command line, in that order of precedence:
// a switch wins over the saved key.
void TForm1::ApplySettings()
{
    const TIniFile ini(paths_.SettingsFile);
    setWindowTitle(ini.ReadString("Form", "Caption", "New Form"));
    TComSelect& com = *dialogs_.ComSelect;
    if (CmdLineSwitch("/PORT", arguments_)) {
        com.SetPortText(PortName(CmdLineValue("/PORT", arguments_)));
    } else {
        QString port = ini.ReadString("Form", "COM", "COM1");
        com.SetPortText(port.isEmpty() ? "COM1" : port);
        com.SetIpText(ini.ReadString("Form", "IP Address", "0.0.0.0").remove(' '));
    }
    if (CmdLineSwitch("/IP", arguments_))
        com.SetIpText(CmdLineValue("/IP", arguments_).remove(' '));
    com.SetTcpPort(ini.ReadInteger("Form", "TCP Port", TComSelect::DefaultTcpPort));
    if (CmdLineSwitch("/TCPPORT", arguments_))
        com.SetTcpPort(SwitchInteger("/TCPPORT", TComSelect::DefaultTcpPort));

    if (CmdLineSwitch("/BAUD", arguments_)) {
        // A speed the list does not offer is its first, 9600.
        const QString typed = CmdLineValue("/BAUD", arguments_);
        const auto offered = std::find_if(SettingsBaudRates.begin(), SettingsBaudRates.end(), [&](TBaudRate rate) {
            return typed == QString::number(BaudRateValue(rate, 0));
        });
        com.SetBaudIndex(offered == SettingsBaudRates.end() ? 0 : int(offered - SettingsBaudRates.begin()));
    } else {
        com.SetBaudIndex(ini.ReadInteger("Form", "Baud", 0));
    }
    // A /MODE value that names no kind of link means RTU, as it always has.
    if (CmdLineSwitch("/MODE", arguments_))
        com.SetKind(LinkKindSetting::FromName(CmdLineValue("/MODE", arguments_)).value_or(TLinkKind::Serial));
    else
        com.SetKind(LinkKindSetting::Read(ini));
    com.cbRTUClick();
    // Under /POLLING a bank is tried once unless the settings say otherwise.
    TLinkSettings defaults;
    if (CmdLineSwitch("/POLLING", arguments_))
        defaults.Tries = 1;
    com.SetLink(TLinkSettings::Read(ini, defaults));

    logger_->LoadSettings(ini);
    if (ini.ReadBool("Form", "InitMax", false))
        showMaximized();
}

// The /POLLING value, or the default when the switch is absent, has no
// value or its value is refused.
int TForm1::PollingInterval()
{
    if (!CmdLineSwitch("/POLLING", arguments_))
        return DefaultPollingInterval;
    const QString text = CmdLineValue("/POLLING", arguments_).trimmed();
    bool ok = false;
    const int interval = text.toInt(&ok);
    if (ok && interval >= MinPollingInterval && interval <= MaxPollingInterval)
        return interval;
    if (!text.isEmpty())
        ShowMessageBox(this, QMessageBox::Warning, "Kelvane",
                       QString("The polling interval /POLLING=%1 is not a whole number of milliseconds from %2 to "
                               "%3 ms; the meter is polled every %4 ms instead.")
                           .arg(text)
                           .arg(MinPollingInterval)
                           .arg(MaxPollingInterval)
                           .arg(DefaultPollingInterval));
    return DefaultPollingInterval;
}

// Without the page file the window shows no data page, and without the bank
// file no register is read; both would otherwise look like a dead meter.
// The window's log keeps the warning after its box is closed.
void TForm1::ReportMissingFiles()
{
    const QDir directory(paths_.Directory);
    const QString where = QDir::toNativeSeparators(directory.absolutePath());
    QStringList lines;
    const QString page = QString(PageName) + ".ini";
    if (!QFileInfo::exists(directory.filePath(page)))
        lines << QString("The page file %1 is not in %2: the window shows no measurements.").arg(page, where);
    if (!QFileInfo::exists(directory.filePath(BanksFile)))
        lines << QString("The register bank file %1 is not in %2: the meter is not read.").arg(BanksFile, where);
    if (lines.isEmpty())
        return;
    lines << "The default files are in the data folder of the sources; a build copies them beside the executable.";
    // The warning does not wait for an answer: a utility started unattended
    // goes on polling and logging what it can.
    for (const QString& line : lines)
        AddMemoLine(Memo, line);
    ShowNotice(this, QMessageBox::Warning, "Kelvane", lines.join('\n'));
}

int TForm1::SwitchInteger(const QString& key, int defaultValue) const
{
    bool ok = false;
    const int value = CmdLineValue(key, arguments_).toInt(&ok);
    return ok ? value : defaultValue;
}

// A Windows-style COMn name is upper-cased as it always was; Linux device
// paths are case-sensitive and stay as typed.
QString TForm1::PortName(const QString& typed)
{
    static const QRegularExpression comName("^com[0-9]+$", QRegularExpression::CaseInsensitiveOption);
    return comName.match(typed).hasMatch() ? typed.toUpper() : typed;
}

void TForm1::ApplyPlacement()
{
    const QRect screen = this->screen() ? this->screen()->geometry() : QRect(0, 0, 1920, 1080);
    bool ok = false;
    int top = CmdLineValue("/TOP", arguments_).toInt(&ok);
    if (!ok || top < 0)
        top = screen.height() / 2 - height() / 2;
    int left = CmdLineValue("/LEFT", arguments_).toInt(&ok);
    if (!ok || left < 0)
        left = screen.width() / 2 - width() / 2;
    move(left, top);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (exiting_ || !FormCloseQuery()) {
        event->accept();
        return;
    }
    FormClose();
    event->accept();
}

bool TForm1::FormCloseQuery()
{
    cbPolling->setChecked(false);
    tPolling.stop();
    AppClosing = true;
    QCoreApplication::processEvents();
    return true;
}

void TForm1::FormClose()
{
    // An open logging dialog stores its own keys when it closes; it does so
    // first, so that the main window's write below keeps them.
    if (dialogs_.Logging->isVisible())
        dialogs_.Logging->close();
    TIniFile ini(paths_.SettingsFile);
    const TComSelect& com = *dialogs_.ComSelect;
    ini.WriteString("Form", "Caption", windowTitle());
    ini.WriteBool("Form", "InitMax", isMaximized());
    ini.WriteString("Form", "COM", com.PortText());
    ini.WriteString("Form", "IP Address", com.IpText());
    ini.WriteInteger("Form", "TCP Port", com.TcpPort());
    LinkKindSetting::Write(ini, com.Kind());
    ini.WriteInteger("Form", "Baud", com.BaudIndex());
    // The single try that /POLLING brings stays out of the file, so that a
    // later start without the switch tries as often as before.
    com.Link().Write(ini, ini.ValueExists("Form", "Tries") || !CmdLineSwitch("/POLLING", arguments_) ||
                              com.Link().Tries != 1);
    logger_->StoreSettings(ini);
    QString error;
    if (!ini.UpdateFile(&error))
        ShowMessageBox(this, QMessageBox::Warning, "Kelvane",
                       QString("The settings could not be saved to %1: %2").arg(paths_.SettingsFile, error));
    MeterINI(true);
}

// "Exit" ends the run at once: nothing is saved on this path.
void TForm1::Exit1Click()
{
    exiting_ = true;
    AppClosing = true;
    tPolling.stop();
    QCoreApplication::exit(0);
}

void TForm1::About1Click()
{
    ShowMessageBox(this, QMessageBox::Information, "About",
                   QString("Version: %1\n\r").arg(VersionText)
                       + "Kelvane Power Transducer configuration and monitoring utility.\n"
                         "Polls the meter over Modbus/RTU or Modbus/TCP, logs its measurements\n"
                         "and edits its configuration.");
}

void TForm1::MyExceptionHandler(const QString& message)
{
    ShowMessageBox(QApplication::activeWindow(), QMessageBox::NoIcon, "Kelvane", "ERROR: " + message);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == lSetupFile && event->type() == QEvent::MouseButtonDblClick) {
        dialogs_.CTSettings->show();
        return true;
    }
    if (event->type() == QEvent::KeyPress && (watched == ebWriteValue || watched == ebPhase)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        return watched == ebWriteValue ? WriteValueKey(*key) : PhaseKey(*key);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::AddMemoLine(QPlainTextEdit* memo, const QString& line)
{
    memo->appendPlainText(line);
}

void TForm1::SetStatus(int panel, const QString& text)
{
    StatusPanels.at(static_cast<std::size_t>(panel))->setText(text);
}

void TForm1::Beep3()
{
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            TKelvane::Delay(500);
        QApplication::beep();
    }
}

void TForm1::bChooseDirectoryClick()
{
    const QString start = QDir(labDirectory->text()).exists() ? labDirectory->text() : QDir::rootPath();
    const QString chosen = ExistingDirectory(this, "Select a directory", start);
    if (!chosen.isEmpty())
        labDirectory->setText(chosen);
}

void TForm1::bEditClick()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir(paths_.Directory).filePath("settings.ini")));
}
