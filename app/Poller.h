#pragma once

#include "BankPass.h"
#include "CommStatistics.h"
#include "Dialogs.h"
#include "LateReplyNotice.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTabWidget;
class TCalibrateBox;
class TDataLogger;
class TDataPages;
class TGeneralTab;
class TKelvane;
class TLinkSession;
class TMeterList;
class TPortWatch;
class TRegisterCommands;
class TStatusBar;

// Polling: the read-all pass over the register banks and the steps after
// it (the data pages, the status, the configuration editor's commit cycle,
// the function 17 box, the windows fed by the poll), and the meter polled as
// the status bar, the page caption and the statistics name it.
//
// A pass reads one meter from its first bank to its last: the link and the
// address it starts with and the meter's name then. A pass whose link the
// "Port" menu replaces, or whose address a click in the meter list or the
// Device Address dialog changes, ends at its next try; what it brings is
// then shown nowhere, the windows that keep a history mark a gap, and the
// new meter is shown with the next pass's values.
class TPoller : public QObject {
    Q_OBJECT
public:
    struct TParts {
        TLinkSession& Session;
        TRegisterCommands& Commands;
        TDataPages& Pages;
        TGeneralTab& General;
        TCalibrateBox& Calibrate;
        TStatusBar& Status;
        TCommStatistics& Statistics;
        TMeterList& Meters;
        QTabWidget& PageControl;
        TDataLogger& Logger;
        TDialogs Dialogs;
        // The program is closing: passes end and no step follows.
        const bool& Closing;
        // A drop-down menu is open: a pass skips its remaining banks.
        const bool& MenuOpen;
        // A line for the window's log.
        std::function<void(const QString&)> Log;
    };
    TPoller(TParts parts, QObject* parent);
    ~TPoller() override;

    // The polling timer ("tPolling"): its tick runs a pass, and the next
    // tick comes one interval after the pass ends.
    QTimer& Timer() { return timer_; }
    // The polling timer's tick.
    void Poll();
    // Polls as the "Polling" box says, on a link that is open.
    void FollowPollingBox();
    // One read-all pass now ("All"); gives the meter it read, or none when
    // no pass ran (one is running already, or there is no link).
    std::optional<TMeterKey> ReadAll();

    // The link, the address or the meter list has changed: the meter polled
    // is shown now, or, while a pass runs, once that pass has ended.
    void MeterMayHaveChanged();
    // The meter an exchange of link with address goes to: the meter list
    // names it when a meter of the list has that address.
    TMeterKey MeterKey(const TKelvane& link, uint8_t address) const;

signals:
    // A pass read at least one bank; ok when its last bank was read. A pass
    // cut short by another link or meter reports a gap (false).
    void PassCompleted(bool ok);
    // Another meter is polled: its name in the list and its address.
    void MeterChanged(const QString& meter);

private:
    // What a pass reads, fixed when it starts.
    struct TPassMeter {
        std::shared_ptr<TKelvane> Link;
        uint8_t Address = 1;
        TMeterKey Key;
    };

    bool StillPolled(const TPassMeter& meter) const;
    TBankPass::TResult ReadBanks(const TPassMeter& meter, const std::vector<TRegisterBankEntry>& banks,
                                 const std::function<void(std::size_t, int, const QString&)>& onBank);
    void ShowBank(const TPassMeter& meter, std::size_t index, int result, const QString& line);
    void AfterPass(const TPassMeter& meter, const TBankPass::TResult& pass);
    void CommitConfiguration(const TPassMeter& meter);
    void ShowMeter();
    void ShowCaption(const TMeterKey& key);
    void ShowCommunication();
    void PortBack();
    uint8_t DeviceAddress() const;

    TParts parts_;
    TLateReplyNotice lateNotice_;
    QTimer timer_;
    TPortWatch* portWatch_ = nullptr;
    // The meter the status bar, the caption and the trend name now.
    std::optional<TMeterKey> shown_;
    QString shownText_;
    // A pass is running; a second one started inside its waits (the "All"
    // button, a polling tick after the "Port" menu) stands aside.
    bool passRunning_ = false;
};
