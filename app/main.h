#pragma once

#include "BankPass.h"
#include "CommStatistics.h"
#include "LateReplyNotice.h"
#include "DataPages.h"
#include "Dialogs.h"
#include "KelvaneCOM.h"

#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QKeyEvent;
class QMenu;
class TCalibrateBox;
class TDataLogger;
class TGeneralTab;
class TMeterList;
class TPortWatch;
class TStatusBar;

// The main window: the meter list, the data pages, the status bar, and the
// commands that poll the meter, write its registers and trace the traffic.
// Its controls belong to the units that build them; tests find them by
// their object names.
class TForm1 : public QMainWindow {
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
    TCommStatistics& Statistics() { return statistics_; }
    bool AppClosing = false;
    // A drop-down menu is open: a pass skips its remaining banks.
    bool MenuOpen = false;
    QTimer tPolling;

    // Start-up and close.
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void Exit1Click();
    void About1Click();
    static void MyExceptionHandler(const QString& message);

    // Connection, polling and the meter list.
    void KelvaneStart();
    void MenuPortClick();
    void tPollingTimer();
    void cbPollingClick();
    void FindMetersClick();
    // The frames sent and answered since the last "Clear".
    uint32_t TX() const;
    uint32_t RX() const;

    // Register commands.
    void bReadRegsClick();
    TBankPass::TResult ReadBanks(const std::vector<TRegisterBankEntry>& banks,
                                 const std::function<void(std::size_t, int, const QString&)>& onBank);
    int32_t SetRegister(int reg, int32_t value);
    void bWriteSendClick();
    void bFunc17Click();

signals:
    // A read-all pass read at least one bank; ok when its last bank was read.
    // Windows fed by the poll take the new register image, or mark a gap.
    void PassCompleted(bool ok);
    // The user asked for a data field on the trend window, or for the window.
    void AddToTrend(TDataField* field);
    void ShowTrend();
    // Another meter is polled: its name in the list and its address.
    void MeterChanged(const QString& meter);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildMenus();
    void BuildFileMenu();
    void BuildOptionsMenu();
    void WatchMenu(QMenu* menu);
    void BuildCentre();
    void ShowLinkStates(TKelvane& link);
    void PortBack();
    void MeterSelected(const QString& name, int address);
    void ShowMeter();
    void ShowCommunication();
    void AddMemoLine(const QString& line);
    void NoteTry(const TKelvane& link, const TExchange& exchange, bool repeat);
    void WriteResult(const TExchange& exchange);
    void AfterPass(bool anyBankRead, int lastResult);
    bool WriteValueKey(const QKeyEvent& key);
    bool PhaseKey(const QKeyEvent& key);
    void DumpRegisters();
    TMeterKey MeterKey(const TKelvane& link) const;
    uint8_t DeviceAddress() const;
    int Attempts() const;

    TAppPaths paths_;
    QStringList arguments_;
    TDialogs dialogs_;
    std::shared_ptr<TKelvane> kelvane_;
    std::unique_ptr<TDataPages> pages_;
    std::unique_ptr<TDataLogger> logger_;
    TCommStatistics statistics_;
    TLateReplyNotice lateNotice_;
    TMeterList* meterList_ = nullptr;
    TGeneralTab* general_ = nullptr;
    TCalibrateBox* calibrate_ = nullptr;
    TStatusBar* status_ = nullptr;
    TPortWatch* portWatch_ = nullptr;
    QTabWidget* pageControl_ = nullptr;
    QAction* loggingEnabled_ = nullptr;
    QString meterName_;
    QString shownMeter_;
    bool shown_ = false;
    bool exiting_ = false;
    // A read-all pass is running; a second one started inside its waits
    // (the "All" button, a polling tick after the "Port" menu) stands aside.
    bool passRunning_ = false;
};
