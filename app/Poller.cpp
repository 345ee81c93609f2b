#include "Poller.h"

#include "CalibrateBox.h"
#include "ConfigCommit.h"
#include "DataLogger.h"
#include "DataPages.h"
#include "GeneralTab.h"
#include "KelvaneCOM.h"
#include "LinkSession.h"
#include "MeterList.h"
#include "PortWatch.h"
#include "RegisterCommands.h"
#include "RegisterMap.h"
#include "StatusBar.h"
#include "frmAddressUnit.h"
#include "frmComSelect.h"
#include "frmModbusData.h"

#include <QCheckBox>
#include <QPushButton>
#include <QCoreApplication>
#include <QTabWidget>

namespace {

// How long the status bar shows the writes that failed and a late meter's
// notice, in ms.
constexpr int NoticeMessageTime = 60000;

QString MeterText(const TMeterKey& key)
{
    return key.Name.isEmpty() ? QString("Address %1").arg(key.Address) : QString("%1 (%2)").arg(key.Name).arg(key.Address);
}

} // namespace

TPoller::TPoller(TParts parts, QObject* parent) : QObject(parent), parts_(std::move(parts))
{
    setObjectName("Poller");
    timer_.setObjectName("tPolling");
    timer_.setParent(this);
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, &TPoller::Poll);
    // The notice of a lost port belongs to the main window, as every box does.
    portWatch_ = new TPortWatch([this] { return parts_.Session.Link(); }, [this] { PortBack(); },
                                parts_.PageControl.window());
    connect(&parts_.Statistics, &TCommStatistics::Changed, this, &TPoller::ShowCommunication);
    connect(parts_.Calibrate.bReadRegs, &QAbstractButton::clicked, this, [this] { ReadAll(); });
    connect(parts_.Calibrate.cbPolling, &QCheckBox::clicked, this, &TPoller::FollowPollingBox);
    connect(&parts_.Calibrate, &TCalibrateBox::IntervalTyped, &timer_, qOverload<int>(&QTimer::setInterval));
}

TPoller::~TPoller() = default;

uint8_t TPoller::DeviceAddress() const
{
    return static_cast<uint8_t>(parts_.Dialogs.frmAddress->GetAddress());
}

void TPoller::Poll()
{
    if (!parts_.Calibrate.cbPolling->isChecked() || passRunning_)
        return;
    // A tick that was already due when the "Port" menu put in a link that
    // did not open (its message box lets it through) has nothing to read.
    const std::shared_ptr<TKelvane> polled = parts_.Session.Link();
    if (!polled || !polled->Active()) {
        timer_.stop();
        return;
    }
    // The next tick comes one interval after this pass ends. A pass that
    // raises leaves polling stopped until the "Port" menu restarts it. A
    // serial port lost during the pass has been reported once; it is opened
    // again when its adapter is back.
    timer_.stop();
    ReadAll();
    const std::shared_ptr<TKelvane> link = parts_.Session.Link();
    if (!parts_.Closing && link && link->Active())
        timer_.start();
    else if (!parts_.Closing && link == polled && link->Kind() == TLinkKind::Serial)
        portWatch_->Watch(link);
}

// A link whose port did not open has been reported already; polling it would
// only fail once more. The "Port" menu starts polling with the next link.
void TPoller::FollowPollingBox()
{
    const std::shared_ptr<TKelvane> link = parts_.Session.Link();
    if (parts_.Calibrate.cbPolling->isChecked() && link && link->Active())
        timer_.start();
    else
        timer_.stop();
}

// The lost adapter is back and its port open again: polling goes on.
void TPoller::PortBack()
{
    const QString text = QString("Serial port %1 is back: polling goes on.").arg(parts_.Session.Link()->Target());
    parts_.Status.SetStatus(text);
    parts_.Log(text);
    FollowPollingBox();
}

std::optional<TMeterKey> TPoller::ReadAll()
{
    const std::shared_ptr<TKelvane> link = parts_.Session.Link();
    if (passRunning_ || !link)
        return std::nullopt;
    passRunning_ = true;
    struct PassEnd {
        bool& running;
        ~PassEnd() { running = false; }
    } passEnd{passRunning_};
    ShowMeter();
    const TPassMeter meter{link, DeviceAddress(), MeterKey(*link, DeviceAddress())};
    parts_.General.ClearTraffic();
    QCoreApplication::processEvents();
    const TBankPass::TResult pass =
        ReadBanks(meter, parts_.General.Banks(),
                  [this, &meter](std::size_t i, int result, const QString& line) { ShowBank(meter, i, result, line); });
    if (parts_.Closing)
        return meter.Key;
    // A pass that tried every bank is logged for its own meter before
    // anything lets events run.
    if (pass.AnyBankRead && !pass.Stopped)
        parts_.Logger.PassCompleted(meter.Key, *meter.Link);
    // A pass cut short by another link or meter: the windows that keep a
    // history mark a gap in the line of the meter it read, and the new
    // meter is shown.
    if (!StillPolled(meter)) {
        if (pass.AnyBankRead)
            emit PassCompleted(false);
        ShowMeter();
        return meter.Key;
    }
    if (parts_.Calibrate.cbDevid->isChecked())
        parts_.Commands.Func17(meter.Link, meter.Address);
    AfterPass(meter, pass);
    if (pass.AnyBankRead && !parts_.Closing && StillPolled(meter))
        emit PassCompleted(pass.LastResult == 0);
    return meter.Key;
}

// The link in use and the device address are still those the pass began
// with.
bool TPoller::StillPolled(const TPassMeter& meter) const
{
    return parts_.Session.Link() == meter.Link && DeviceAddress() == meter.Address;
}

// Reads the banks with the window's rules: every bank is tried, and the pass
// stops when the window closes, a menu is open, or the link or the address
// is no longer the pass's. Each try is counted for the pass's meter; the
// link stays alive until the pass returns.
TBankPass::TResult TPoller::ReadBanks(const TPassMeter& meter, const std::vector<TRegisterBankEntry>& banks,
                                      const std::function<void(std::size_t, int, const QString&)>& onBank)
{
    TBankPass pass;
    pass.Abort = &parts_.Closing;
    pass.Stop = [this, &meter] { return parts_.Closing || parts_.MenuOpen || !StillPolled(meter); };
    // A bank's second and later tries are retries.
    int triesOfBank = 0;
    pass.OnTry = [this, &meter, &triesOfBank](const TExchange& exchange) {
        parts_.Status.NoteExchange(exchange);
        parts_.Statistics.Add(meter.Key, exchange, triesOfBank++ > 0);
        parts_.Commands.Trace(exchange);
        if (const QString late = lateNotice_.Note(meter.Key, exchange, meter.Link->RXTimeout()); !late.isEmpty()) {
            parts_.Status.ShowMessage(late, NoticeMessageTime);
            parts_.Log(late);
        }
    };
    pass.OnBank = [&onBank, &triesOfBank](std::size_t i, int result, const QString& line) {
        triesOfBank = 0;
        if (onBank)
            onBank(i, result, line);
    };
    return pass.Run(*meter.Link, meter.Address, banks, {parts_.Dialogs.ComSelect->Link().Tries, /*EndAtSilence=*/false});
}

// The pages show the link of the moment's image: a bank of a pass whose
// link or address has changed is not shown.
void TPoller::ShowBank(const TPassMeter& meter, std::size_t index, int result, const QString& line)
{
    if (!StillPolled(meter))
        return;
    if (result == 0) {
        parts_.Pages.DataCalculate();
        if (index == 0)
            parts_.Pages.UpdatePhaseWindows();
    }
    parts_.Status.SetStatus(line);
    parts_.General.AddTrafficLine(line);
    QCoreApplication::processEvents();
}

// Judges the pass by its last bank read and runs the configuration editor's
// commit cycle. A pass that read no bank at all says nothing about the
// meter: the status and the editor are left as they are.
void TPoller::AfterPass(const TPassMeter& meter, const TBankPass::TResult& pass)
{
    if (!pass.AnyBankRead)
        return;
    if (pass.LastResult != 0) {
        parts_.Pages.DataReset();
        parts_.Dialogs.frmAddress->SetCommStatus("NO COMM");
        return;
    }
    const TKelvane& link = *meter.Link;
    parts_.Calibrate.cbDevid->setChecked(link.GetRegister(RegisterMap::XConfigWord) & RegisterMap::XConfigDevidBit);
    if (link.GetRegister(RegisterMap::Fixed12345) == RegisterMap::Fixed12345Value)
        parts_.Dialogs.frmAddress->SetCommStatus("COMM OK!");
    CommitConfiguration(meter);
}

// The editor's writes and read-back go to the meter the pass read, and it
// shows that meter's image. A write that failed is shown where the
// technician looks: the trace with its frames and reason, and the status
// bar.
void TPoller::CommitConfiguration(const TPassMeter& meter)
{
    const TConfigMeter config{
        [this, meter](int reg, int32_t value) {
            return parts_.Commands.SetRegister(meter.Link, meter.Address, reg, value);
        },
        [this, meter] {
            ReadBanks(meter,
                      {{"Configuration", RegisterMap::ConfigFirst, RegisterMap::ConfigLast - 1, true},
                       {"Configuration", RegisterMap::ConfigLast, RegisterMap::ConfigLast, true}},
                      {});
        },
        [link = meter.Link](int reg) { return link->GetRegister(reg); },
        [this](const QString& line, bool failed) {
            parts_.Log(line);
            if (failed)
                parts_.Dialogs.ModbusData->AddNote(line);
        }};
    const QStringList failed = RunConfigCommit(*parts_.Dialogs.ConfigWord, config);
    if (!failed.isEmpty())
        parts_.Status.ShowMessage(failed.join("; "), NoticeMessageTime);
}

void TPoller::MeterMayHaveChanged()
{
    if (!passRunning_)
        ShowMeter();
}

TMeterKey TPoller::MeterKey(const TKelvane& link, uint8_t address) const
{
    return {TLinkSession::LinkText(link), address, parts_.Meters.NameAt(address)};
}

// The meter polled now, as the status bar, the page caption and the windows
// that keep a history name it; they hear of every change. The values of
// another meter are not shown under its name.
void TPoller::ShowMeter()
{
    const std::shared_ptr<TKelvane> link = parts_.Session.Link();
    if (!link)
        return;
    const TMeterKey key = MeterKey(*link, DeviceAddress());
    if (!shown_ || !shown_->SameMeter(key))
        parts_.Pages.DataReset();
    shown_ = key;
    const QString text = MeterText(key);
    parts_.Status.SetMeter(text);
    ShowCaption(key);
    if (text != shownText_) {
        shownText_ = text;
        emit MeterChanged(text);
    }
    ShowCommunication();
}

void TPoller::ShowCaption(const TMeterKey& key)
{
    const QString caption =
        key.Name.isEmpty() ? MeterText(key) : QString("%1 (Addr: %2)").arg(key.Name).arg(key.Address);
    QTabWidget& tabs = parts_.PageControl;
    for (int i = 0; i < tabs.count(); ++i)
        if (tabs.widget(i)->objectName() == "TabFloat")
            tabs.setTabText(i, caption);
}

// The meter's counts at a glance in the status bar and in Device Address,
// in full on hover and in "Communication Statistics".
void TPoller::ShowCommunication()
{
    const TCommCounters* counts = shown_ ? parts_.Statistics.Find(*shown_) : nullptr;
    const QString summary = counts ? counts->Summary() : QString("No requests yet");
    const QString glance =
        counts ? QString("Replies %1/%2").arg(counts->Ok).arg(counts->Requests) : QString("Replies -");
    parts_.Status.SetCommunication(glance, summary);
    parts_.Dialogs.frmAddress->SetStatistics(summary);
}
