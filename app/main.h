#pragma once

#include "AppPaths.h"
#include "DataFieldUnit.h"
#include "Dialogs.h"

#include <QMainWindow>
#include <QStringList>

#include <memory>

class QAction;
class QMenu;
class QTabWidget;
class TCalibrateBox;
class TCommStatistics;
class TDataLogger;
class TDataPages;
class TGeneralTab;
class TLinkSession;
class TMeterList;
class TPoller;
class TRegisterCommands;
class TStatusBar;

// The main window: the meter list, the data pages, the status bar and the
// menus. It builds them and makes the controllers that act with them: the
// link session (the meter link of the moment), the poller (the read-all
// pass and the meter it reads) and the register commands. Its controls and
// controllers belong to the units that build them; tests find them by their
// object names.
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    TForm1(TAppPaths paths, QStringList arguments, QWidget* parent = nullptr);
    ~TForm1() override;

    // Makes the controllers, which work with the dialogs.
    void SetDialogs(const TDialogs& dialogs);
    const TDialogs& Dialogs() const { return dialogs_; }
    // The window is closing: every wait ends and no pass follows.
    bool Closing() const { return appClosing_; }

    // Start-up and close.
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void Exit1Click();
    void About1Click();
    static void MyExceptionHandler(const QString& message);

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

private:
    void BuildMenus();
    void BuildFileMenu();
    void BuildOptionsMenu();
    void WatchMenu(QMenu* menu);
    void BuildCentre();
    void MenuPortClick();
    void FindMetersClick();
    void MeterSelected(int address);
    // The data page is whole: its warnings and those of the start are shown.
    void PageBuilt(const QStringList& warnings);
    void AddMemoLine(const QString& line);

    TAppPaths paths_;
    QStringList arguments_;
    TDialogs dialogs_;
    std::unique_ptr<TDataPages> pages_;
    TDataLogger* logger_ = nullptr;
    TCommStatistics* statistics_ = nullptr;
    TLinkSession* session_ = nullptr;
    TRegisterCommands* commands_ = nullptr;
    TPoller* poller_ = nullptr;
    TMeterList* meterList_ = nullptr;
    TGeneralTab* general_ = nullptr;
    TCalibrateBox* calibrate_ = nullptr;
    TStatusBar* status_ = nullptr;
    QTabWidget* pageControl_ = nullptr;
    QAction* loggingEnabled_ = nullptr;
    bool appClosing_ = false;
    // A drop-down menu is open: a pass skips its remaining banks.
    bool menuOpen_ = false;
    bool shown_ = false;
    bool exiting_ = false;
};
