// Polling, the meter being polled and how its link fares.

#include "main.h"

#include "CalibrateBox.h"
#include "FindMeters.h"
#include "MeterList.h"
#include "PortWatch.h"
#include "StatusBar.h"
#include "frmAddressUnit.h"

#include <QCheckBox>

void TForm1::tPollingTimer()
{
    if (!calibrate_->cbPolling->isChecked() || passRunning_)
        return;
    // A tick that was already due when the "Port" menu put in a link that
    // did not open (its message box lets it through) has nothing to read.
    if (!kelvane_ || !kelvane_->Active()) {
        tPolling.stop();
        return;
    }
    // The next tick comes one interval after this pass ends. A pass that
    // raises leaves polling stopped until the "Port" menu restarts it. A
    // serial port lost during the pass has been reported once; it is opened
    // again when its adapter is back.
    tPolling.stop();
    const std::shared_ptr<TKelvane> polled = kelvane_;
    bReadRegsClick();
    const std::shared_ptr<TKelvane> link = kelvane_;
    if (!AppClosing && link && link->Active())
        tPolling.start();
    else if (!AppClosing && link == polled && link->Kind() == TLinkKind::Serial)
        portWatch_->Watch(link);
}

// A link whose port did not open has been reported already; polling it would
// only fail once more. The "Port" menu starts polling with the next link.
void TForm1::cbPollingClick()
{
    if (calibrate_->cbPolling->isChecked() && kelvane_ && kelvane_->Active())
        tPolling.start();
    else
        tPolling.stop();
}

// The lost adapter is back and its port open again: polling goes on.
void TForm1::PortBack()
{
    const QString text = QString("Serial port %1 is back: polling goes on.").arg(kelvane_->Target());
    status_->SetStatus(text);
    AddMemoLine(text);
    cbPollingClick();
}

uint32_t TForm1::TX() const
{
    return status_->TX();
}

uint32_t TForm1::RX() const
{
    return status_->RX();
}

void TForm1::MeterSelected(const QString& name, int address)
{
    pages_->DataReset();
    meterName_ = name;
    for (int i = 0; i < pageControl_->count(); ++i)
        if (pageControl_->widget(i)->objectName() == "TabFloat")
            pageControl_->setTabText(i, QString("%1 (Addr: %2)").arg(name).arg(address));
    dialogs_.frmAddress->SetAddress(address);
    ShowMeter();
}

// The meter polled now, as the status bar and the windows that keep a
// history name it; they hear of every change.
void TForm1::ShowMeter()
{
    if (!kelvane_)
        return;
    const TMeterKey key = MeterKey(*kelvane_);
    const QString meter = key.Name.isEmpty() ? QString("Address %1").arg(key.Address)
                                             : QString("%1 (%2)").arg(key.Name).arg(key.Address);
    status_->SetMeter(meter);
    if (meter != shownMeter_) {
        shownMeter_ = meter;
        emit MeterChanged(meter);
    }
    ShowCommunication();
}

// The meter's counts at a glance in the status bar and in Device Address,
// in full on hover and in "Communication Statistics".
void TForm1::ShowCommunication()
{
    const TCommCounters* counts = kelvane_ ? statistics_.Find(MeterKey(*kelvane_)) : nullptr;
    const QString summary = counts ? counts->Summary() : QString("No requests yet");
    const QString glance =
        counts ? QString("Replies %1/%2").arg(counts->Ok).arg(counts->Requests) : QString("Replies -");
    status_->SetCommunication(glance, summary);
    dialogs_.frmAddress->SetStatistics(summary);
}

// The window is made when first asked for. Its scan pauses polling and
// restarts it as the "Polling" box says.
void TForm1::FindMetersClick()
{
    auto* window = findChild<TFindMeters*>();
    if (!window) {
        TFindMeters::THost host{[this] { return kelvane_; }, &AppClosing, [this] { tPolling.stop(); },
                                [this] { cbPollingClick(); },
                                [this](const QString& name, int address) {
                                    return meterList_->AddNewMeter(name, address);
                                },
                                [this] { return meterList_->Addresses(); }};
        window = new TFindMeters(std::move(host), *dialogs_.ProgressDialog, this);
    }
    window->show();
    window->raise();
}
