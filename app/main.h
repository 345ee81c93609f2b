#pragma once

#include "BankPass.h"
#include "DataPages.h"
#include "KelvaneCOM.h"

#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QKeyEvent;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QComboBox;
class TComSelect;
class TConfigWord;
class TCTSettings;
class TDataLogger;
class TFactoryTest;
class TfrmAddress;
class TLogging;
class TModbusData;
class TProgressDialog;
class TPortWatch;
class TTextView;

// The dialogs of the utility: each exists once for the whole run and closing
// one only hides it.
struct TDialogs {
    TProgressDialog* ProgressDialog = nullptr;
    TfrmAddress* frmAddress = nullptr;
    TConfigWord* ConfigWord = nullptr;
    TComSelect* ComSelect = nullptr;
    TLogging* Logging = nullptr;
    TTextView* TextView = nullptr;
    TModbusData* ModbusData = nullptr;
    TFactoryTest* FactoryTest = nullptr;
    TCTSettings* CTSettings = nullptr;
};

// Where the utility keeps its files: the page and bank files, Meters.ini,
// the settings file and the default log.
struct TAppPaths {
    QString Directory;
    QString SettingsFile;
};

// One register bank of RegisterBanks.ini with its controls on the General tab.
struct RegisterBank {
    QCheckBox* CheckBox = nullptr;
    QLineEdit* StartEdit = nullptr;
    QLineEdit* EndEdit = nullptr;
    QString Name;
    int Start = 0;
    int End = 0;
};

// The main window: the meter list, the data pages, the status bar, and the
// commands that poll the meter, write its registers and trace the traffic.
class TForm1 : public QMainWindow, private TRegisterWriteBox {
    Q_OBJECT
public:
    TForm1(TAppPaths paths, QStringList arguments, QWidget* parent = nullptr);
    ~TForm1() override;

    void SetDialogs(const TDialogs& dialogs);
    const TDialogs& Dialogs() const { return dialogs_; }
    const TAppPaths& Paths() const { return paths_; }

    // The meter link of the moment. Every user keeps its own reference for
    // as long as it uses the link, since the "Port" menu may replace it while
    // an operation waits.
    std::shared_ptr<TKelvane> Kelvane() const { return kelvane_; }
    TDataPages& Pages() { return *pages_; }
    TDataLogger& Logger() { return *logger_; }
    bool AppClosing = false;

    // Start-up and close.
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void Exit1Click();
    void About1Click();
    static void MyExceptionHandler(const QString& message);

    // Connection.
    void KelvaneStart();
    void MenuPortClick();

    // Register commands.
    void ReadRegisterBanksFromINI();
    void RegisterBoxChange(QLineEdit* edit);
    void bReadRegsClick();
    void NoteTry(const TExchange& exchange);
    TBankPass::TResult ReadBanks(const std::vector<TRegisterBankEntry>& banks,
                                 const std::function<void(std::size_t, int, const QString&)>& onBank);
    int32_t SetRegister(int reg, int32_t value);
    void WriteResult(const TExchange& exchange);
    void bWriteSendClick();
    void bFunc17Click();
    void bF17ClearClick();
    void bClearClick();

    // Polling, status bar and meter list.
    void tPollingTimer();
    void cbPollingClick();
    void ebTimerChange();
    void bRXTXClearClick();
    void MeterINI(bool save);
    void bAddClick();
    // Adds a meter to the list unless its address or name is refused (the
    // refusal is shown).
    bool AddNewMeter(const QString& name, int address);
    void FindMetersClick();
    void bDeleteClick();
    void ListViewSelectItem(QListWidgetItem* item);

    // Controls the commands read and write.
    QListWidget* ListView = nullptr;
    QLineEdit* ebName = nullptr;
    QLineEdit* ebAddr = nullptr;
    QPushButton* bAdd = nullptr;
    QPushButton* bDelete = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabGeneral = nullptr;
    QPlainTextEdit* Memo = nullptr;
    QPlainTextEdit* ComStatusMemo = nullptr;
    QCheckBox* cbLogData = nullptr;
    QPushButton* bClear = nullptr;
    QLabel* lSetupFile = nullptr;
    std::array<QLabel*, 5> StatusPanels{};
    QPushButton* bRXTXClear = nullptr;
    QGroupBox* CalibrateBox = nullptr;
    QLineEdit* ebRead = nullptr;
    QLineEdit* ebWriteValue = nullptr;
    QRadioButton* rbHex = nullptr;
    QRadioButton* rbDec = nullptr;
    QCheckBox* cb32bit = nullptr;
    QPushButton* bWriteSend = nullptr;
    QPushButton* bReadRegs = nullptr;
    QCheckBox* cbPolling = nullptr;
    QLineEdit* ebTimer = nullptr;
    QLineEdit* ebPhase = nullptr;
    QCheckBox* cbDevid = nullptr;
    QPushButton* bFunc17 = nullptr;
    QPushButton* bF17Clear = nullptr;
    QPlainTextEdit* memoF17 = nullptr;
    QComboBox* cbCOMPORT = nullptr;
    QLabel* labDirectory = nullptr;
    QTimer tPolling;
    std::vector<RegisterBank> RegisterBanks;
    uint32_t TX = 0;
    uint32_t RX = 0;
    bool MenuOpen = false;

signals:
    // A read-all pass read at least one bank; ok when its last bank was read.
    // Windows fed by the poll take the new register image, or mark a gap.
    void PassCompleted(bool ok);
    // The user asked for a data field on the trend window.
    void AddToTrend(TDataField* field);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The register write box, as the data fields' click fills it.
    void SetRegisterText(const QString& text) override;
    QString RegisterText() const override;
    void SetValueText(const QString& text) override;
    void SelectDecimal() override;

    void BuildMenus();
    void BuildMeterList(QWidget* central);
    void BuildGeneralTab();
    void BuildStatusBar();
    void BuildCalibrateBox(QWidget* central);
    void BuildWriteBox(QGroupBox* box);
    void WatchMenu(QMenu* menu);
    void ApplySettings();
    void ApplyPlacement();
    int PollingInterval();
    void ReportMissingFiles();
    int SwitchInteger(const QString& key, int defaultValue) const;
    static QString PortName(const QString& typed);
    void ShowLinkStates(TKelvane& link);
    void PortBack();
    void SetStatus(int panel, const QString& text);
    void AddMemoLine(QPlainTextEdit* memo, const QString& line);
    void AfterPass(bool anyBankRead, int lastResult);
    bool WriteValueKey(const QKeyEvent& key);
    bool PhaseKey(const QKeyEvent& key);
    void CommitConfigWord();
    void AddMeter(const QString& name, int address);
    uint8_t DeviceAddress() const;
    int Attempts() const;
    void Beep3();
    void bChooseDirectoryClick();
    void bEditClick();

    TAppPaths paths_;
    QStringList arguments_;
    TDialogs dialogs_;
    std::shared_ptr<TKelvane> kelvane_;
    std::unique_ptr<TDataPages> pages_;
    std::unique_ptr<TDataLogger> logger_;
    TPortWatch* portWatch_ = nullptr;
    QAction* LoggingEnabled = nullptr;
    QAction* SaveParams = nullptr;
    QAction* WriteParams = nullptr;
    QAction* LoadSetup = nullptr;
    bool shown_ = false;
    bool exiting_ = false;
    // A read-all pass is running; a second one started inside its waits
    // (the "All" button, a polling tick after the "Port" menu) stands aside.
    bool passRunning_ = false;
};
