#include "main.h"

#include "CalibrateBox.h"
#include "CommStatistics.h"
#include "CommStatisticsWindow.h"
#include "ConfigWordUnit.h"
#include "DataLogger.h"
#include "DataPages.h"
#include "FindMeters.h"
#include "GeneralTab.h"
#include "IniFile.h"
#include "KelvaneCOM.h"
#include "LinkSession.h"
#include "LoggingUnit.h"
#include "MenuShortcuts.h"
#include "MessageBoxes.h"
#include "MeterList.h"
#include "MeterScan.h"
#include "Poller.h"
#include "RegisterCommands.h"
#include "ScreenPlacement.h"
#include "StatusBar.h"
#include "WindowSettings.h"
#include "WiringCheckWindow.h"
#include "frmAddressUnit.h"
#include "frmCTSettings.h"
#include "frmComSelect.h"
#include "frmModbusData.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>

namespace {

// Shows the window's one T, made by make when first asked for.
template <class T, class Make>
void ShowOwnWindow(QWidget& owner, Make make)
{
    T* window = owner.findChild<T*>();
    if (!window)
        window = make();
    window->show();
    window->raise();
}

constexpr int WindowWidth = 910;
constexpr int WindowHeight = 570;
const char* const VersionText = "5.7 (Oct 15, 2014)";
const char* const PageName = "Float";
const char* const BanksFile = "RegisterBanks.ini";

} // namespace

TForm1::TForm1(TAppPaths paths, QStringList arguments, QWidget* parent)
    : QMainWindow(parent), paths_(std::move(paths)), arguments_(std::move(arguments))
{
    setWindowTitle("Kelvane Power Transducer");
    BuildMenus();
    BuildCentre();
    status_ = new TStatusBar(*statusBar());
    resize(WindowWidth, WindowHeight);

    // The pages read the image of the link of the moment.
    pages_ = std::make_unique<TDataPages>(
        *pageControl_, [this] { return session_ ? session_->Link().get() : nullptr; },
        QFileInfo(paths_.DefaultsFile(PageName + QString(".ini"))).absolutePath());
    pages_->SetWriteBox(calibrate_);
    statistics_ = new TCommStatistics(this);
    statistics_->setObjectName("Statistics");
}

TForm1::~TForm1() = default;

void TForm1::SetDialogs(const TDialogs& dialogs)
{
    dialogs_ = dialogs;
    const auto log = [this](const QString& line) { AddMemoLine(line); };
    session_ = new TLinkSession(*dialogs_.ComSelect, *status_, log, *this);
    commands_ = new TRegisterCommands(
        {*session_, *calibrate_, *general_, *statistics_, dialogs_, appClosing_,
         [this](const TKelvane& link, uint8_t address) { return poller_->MeterKey(link, address); },
         paths_.DataDirectory},
        *this);
    dialogs_.ConfigWord->SetMeterIdentity([this] {
        const std::shared_ptr<TKelvane> link = session_->Link();
        return TMeterIdentity{commands_->DeviceAddress(), link ? MeterSoftwareVersion(*link) : std::nullopt};
    });
    logger_ = new TDataLogger(*dialogs_.Logging, *loggingEnabled_, log);
    logger_->setParent(this);
    logger_->setObjectName("DataLogger");
    connect(logger_, &TDataLogger::StateChanged, status_, &TStatusBar::ShowLogging);
    status_->ShowLogging(logger_->State());
    connect(general_, &TGeneralTab::SetupFileClicked, dialogs_.CTSettings, &QWidget::show);

    poller_ = new TPoller({*session_, *commands_, *pages_, *general_, *calibrate_, *status_, *statistics_,
                           *meterList_, *pageControl_, *logger_, dialogs_, appClosing_, menuOpen_, log},
                          this);
    connect(poller_, &TPoller::PassCompleted, this, &TForm1::PassCompleted);
    connect(poller_, &TPoller::MeterChanged, this, &TForm1::MeterChanged);
    connect(session_, &TLinkSession::LinkChanged, poller_, &TPoller::MeterMayHaveChanged);
    connect(dialogs_.frmAddress, &TfrmAddress::AddressChanged, poller_, &TPoller::MeterMayHaveChanged);
}

// Every menu has its Alt letter; the menu shortcuts act wherever the focus
// is not in a text field.
void TForm1::BuildMenus()
{
    BuildFileMenu();
    QMenu* logging = menuBar()->addMenu("&Logging");
    loggingEnabled_ = logging->addAction("&Enable");
    loggingEnabled_->setCheckable(true);
    connect(logging->addAction("&Configure"), &QAction::triggered, this, [this] { logger_->Configure1Click(); });
    WatchMenu(logging);
    BuildOptionsMenu();

    // "Port" and "About" act as soon as they are chosen, like menu commands
    // that have no drop-down.
    connect(menuBar()->addAction("&Port"), &QAction::triggered, this, &TForm1::MenuPortClick);
    connect(menuBar()->addAction("A&bout"), &QAction::triggered, this, &TForm1::About1Click);
    new TMenuShortcuts(*menuBar());
}

void TForm1::BuildFileMenu()
{
    QMenu* file = menuBar()->addMenu("&File");
    // The factory's commands for saved parameter sets; hidden in the field.
    for (const auto& [text, key] : {std::pair{"&Save Params", "Ctrl+S"}, std::pair{"&Write Params", "Ctrl+W"},
                                    std::pair{"&Load Setup", ""}}) {
        QAction* action = file->addAction(text);
        action->setShortcut(QKeySequence(key));
        action->setVisible(false);
    }
    connect(file->addAction("&Dump Registers..."), &QAction::triggered, this, [this] { commands_->DumpRegisters(); });
    QAction* exit = file->addAction("E&xit");
    exit->setShortcut(QKeySequence("Ctrl+X"));
    connect(exit, &QAction::triggered, this, &TForm1::Exit1Click);
    WatchMenu(file);
}

void TForm1::BuildOptionsMenu()
{
    QMenu* options = menuBar()->addMenu("&Options");
    QAction* address = options->addAction("Device &Address");
    address->setShortcut(QKeySequence("Ctrl+A"));
    connect(address, &QAction::triggered, this, [this] { dialogs_.frmAddress->show(); });
    QAction* configWord = options->addAction("Confi&g Word");
    configWord->setShortcut(QKeySequence("Ctrl+G"));
    connect(configWord, &QAction::triggered, this, [this] { dialogs_.ConfigWord->show(); });
    connect(options->addAction("Show &Raw Data"), &QAction::triggered, this, [this] { dialogs_.ModbusData->show(); });
    connect(options->addAction("&Find Meters..."), &QAction::triggered, this, &TForm1::FindMetersClick);
    connect(options->addAction("&Trend"), &QAction::triggered, this, &TForm1::ShowTrend);
    // The windows below are made when first asked for; the wiring check
    // judges every pass from then on while it is showing.
    connect(options->addAction("&Wiring Check"), &QAction::triggered, this, [this] {
        ShowOwnWindow<TWiringCheckWindow>(*this, [this] {
            auto* window = new TWiringCheckWindow([this] { return session_->Link().get(); }, this);
            connect(this, &TForm1::PassCompleted, window, &TWiringCheckWindow::PassCompleted);
            return window;
        });
    });
    connect(options->addAction("Communication &Statistics"), &QAction::triggered, this, [this] {
        ShowOwnWindow<TCommStatisticsWindow>(*this, [this] { return new TCommStatisticsWindow(*statistics_, this); });
    });
    WatchMenu(options);
}

// A pass skips its remaining banks while a drop-down menu is open, so that
// the menu answers at once.
void TForm1::WatchMenu(QMenu* menu)
{
    connect(menu, &QMenu::aboutToShow, this, [this] { menuOpen_ = true; });
    connect(menu, &QMenu::aboutToHide, this, [this] { menuOpen_ = false; });
}

// The meter list at the left, the data pages beside it, and the hidden
// calibration box under them; the General page lives outside the tabs.
void TForm1::BuildCentre()
{
    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto* grid = new QGridLayout(central);
    grid->setContentsMargins(0, 0, 0, 0);
    auto* meterColumn = new QWidget(central);
    // The list is a narrow column that leaves the page its room.
    meterColumn->setMaximumWidth(meterColumn->fontMetrics().averageCharWidth() * 20);
    meterList_ = new TMeterList(*meterColumn, QDir(paths_.ConfigDirectory).filePath("Meters.ini"));
    connect(meterList_, &TMeterList::MeterSelected, this,
            [this](const QString&, int address) { MeterSelected(address); });
    pageControl_ = new QTabWidget(central);
    pageControl_->setObjectName("PageControl1");
    calibrate_ = new TCalibrateBox(paths_.ConfigDirectory, central);
    calibrate_->hide();
    calibrate_->setEnabled(false);
    general_ = new TGeneralTab(central);
    grid->addWidget(meterColumn, 0, 0);
    grid->addWidget(pageControl_, 0, 1);
    grid->addWidget(calibrate_, 1, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(0, 1);

    connect(calibrate_->bLogData, &QPushButton::clicked, this,
            [this] { logger_->DoLogging(calibrate_->bLogData); });
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
    const TIniFile ini(paths_.SettingsFile);
    setWindowTitle(ini.ReadString("Form", "Caption", "New Form"));
    WindowSettings::ApplyLink(*dialogs_.ComSelect, ini, arguments_);
    logger_->LoadSettings(ini);
    if (ini.ReadBool("Form", "InitMax", false))
        showMaximized();
    QStringList warnings;
    poller_->Timer().setInterval(WindowSettings::PollingInterval(arguments_, warnings));
    warnings << WindowSettings::MissingFiles(paths_, PageName, BanksFile);
    // The page is built on the event loop, so that a page of thousands of
    // fields keeps neither the first pass nor the window waiting; a page of
    // the usual size is whole before the next line.
    pages_->BuildPanel(PageName, [this, warnings](const QStringList& pageWarnings) {
        PageBuilt(warnings + pageWarnings);
    });
    calibrate_->ListPorts(dialogs_.ComSelect->PortText());
    general_->LoadBanks(paths_.DefaultsFile(BanksFile));
    meterList_->Load();
    WindowSettings::Place(*this, arguments_);

    AddMemoLine(QString("Software Version: %1").arg(VersionText));
    AddMemoLine("Modbus layer: Modbus/TCP client, version 2.41 (August 20, 2013)");
    session_->Start();
    // The first pass runs as soon as the window has shown, not one polling
    // interval later.
    if (session_->Link()->Active())
        QTimer::singleShot(0, poller_, &TPoller::Poll);
    poller_->FollowPollingBox();
}

// The warnings do not wait for an answer: a utility started unattended goes
// on polling and logging what it can, and the window's log keeps them. The
// window grows to show the page whole where the screen allows.
void TForm1::PageBuilt(const QStringList& warnings)
{
    if (!warnings.isEmpty()) {
        for (const QString& line : warnings)
            AddMemoLine(line);
        ShowNotice(this, QMessageBox::Warning, "Kelvane", warnings.join('\n'));
    }
    resize(size() + pages_->Shortfall());
    FitToScreen(*this);
    for (TDataField* field : pages_->DataFields())
        connect(field, &TDataField::AddToTrendRequested, this, &TForm1::AddToTrend);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // The settings are read as the window first shows: a window closed
    // before that has none of its own to save.
    if (!exiting_ && shown_ && FormCloseQuery())
        FormClose();
    event->accept();
}

bool TForm1::FormCloseQuery()
{
    calibrate_->cbPolling->setChecked(false);
    poller_->Timer().stop();
    appClosing_ = true;
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
    ini.WriteString("Form", "Caption", windowTitle());
    ini.WriteBool("Form", "InitMax", isMaximized());
    WindowSettings::StoreLink(*dialogs_.ComSelect, ini, arguments_);
    logger_->StoreSettings(ini);
    QString error;
    if (!ini.UpdateFile(&error))
        ShowMessageBox(this, QMessageBox::Warning, "Kelvane",
                       QString("The settings could not be saved to %1: %2").arg(paths_.SettingsFile, error));
    meterList_->Save();
}

// "Exit" ends the run at once: nothing is saved on this path.
void TForm1::Exit1Click()
{
    exiting_ = true;
    appClosing_ = true;
    poller_->Timer().stop();
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

void TForm1::AddMemoLine(const QString& line)
{
    general_->AddLogLine(line);
}

// Replaces the meter link with the one the port dialog chose; Cancel leaves
// the link in use as it is. No tick may poll while the links change over: a
// message box about the new link would let it through to a link that is not
// open.
void TForm1::MenuPortClick()
{
    if (dialogs_.ComSelect->exec() != QDialog::Accepted)
        return;
    poller_->Timer().stop();
    session_->Replace();
    poller_->FollowPollingBox();
}

// A meter selected in the list is polled from the next pass on; a pass
// running now ends at its next try. An address outside 1..63 leaves the
// device address, and the meter polled, as they are.
void TForm1::MeterSelected(int address)
{
    dialogs_.frmAddress->SetAddress(address);
    poller_->MeterMayHaveChanged();
}

// The window is made when first asked for. Its scan pauses polling and
// restarts it as the "Polling" box says.
void TForm1::FindMetersClick()
{
    auto* window = findChild<TFindMeters*>();
    if (!window) {
        TFindMeters::THost host{[this] { return session_->Link(); }, &appClosing_,
                                [this] { poller_->Timer().stop(); }, [this] { poller_->FollowPollingBox(); },
                                [this](const QString& name, int address) {
                                    return meterList_->AddNewMeter(name, address);
                                },
                                [this] { return meterList_->Addresses(); }};
        window = new TFindMeters(std::move(host), *dialogs_.ProgressDialog, this);
    }
    window->show();
    window->raise();
}
