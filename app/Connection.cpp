// Opening the connection to the meter from the port dialog's choice.

#include "main.h"

#include "MessageBoxes.h"
#include "MeterList.h"
#include "StatusBar.h"
#include "frmComSelect.h"

#include <QCheckBox>
#include <QComboBox>

namespace {

// The link as the status bar and the statistics name it: its kind, where
// it goes and, for RTU frames, the line's speed. It is read from the link
// itself, not from the port dialog, whose controls may already show another
// choice while the dialog is open.
QString LinkText(const TKelvane& link)
{
    const QString baud = QString("%1 baud").arg(BaudRateValue(link.BaudRate(), 0));
    switch (link.Kind()) {
    case TLinkKind::Tcp: return QString("Modbus/TCP %1:%2").arg(link.Target()).arg(link.TcpPort());
    case TLinkKind::RtuOverTcp:
        return QString("RTU over TCP %1:%2, %3").arg(link.Target()).arg(link.TcpPort()).arg(baud);
    case TLinkKind::Serial: break;
    }
    return QString("Modbus/RTU %1, %2").arg(link.Target(), baud);
}

} // namespace

void TForm1::KelvaneStart()
{
    const TComSelect& com = *dialogs_.ComSelect;
    const TLinkKind kind = com.Kind();
    const bool serial = kind == TLinkKind::Serial;
    const QString target = serial ? com.PortText() : com.IpText();
    kelvane_ = std::make_shared<TKelvane>(target, kind);
    if (!serial)
        kelvane_->SetTcpPort(com.TcpPort());
    com.Link().Apply(*kelvane_);
    ShowLinkStates(*kelvane_);
    if (kelvane_->Active()) {
        // A device server's port is named with its address, as it is seldom
        // the Modbus/TCP port; its baud rate is the meter's line's.
        const QString where = kind == TLinkKind::RtuOverTcp ? QString("%1:%2").arg(target).arg(com.TcpPort()) : target;
        const QString opened = QString("Kelvane Opened on %1 at %2 baud").arg(where, com.BaudText());
        status_->SetStatus(opened);
        AddMemoLine(opened);
        kelvane_->SetBaudRate(BaudRateFromIndex(com.BaudIndex()));
    } else {
        // A TCP link is inactive only for a target that is not an IP
        // address: no name is looked up, and no request would go anywhere.
        // A serial port says why it did not open (missing, in use, no
        // permission and its remedy).
        QString message = "ERROR: Could not connect to " + target;
        if (!serial)
            message += " (not an IP address)";
        else if (!kelvane_->LastOpenError().isEmpty())
            message += "\n\n" + kelvane_->LastOpenError();
        ShowMessageBox(this, QMessageBox::Critical, "Kelvane", message);
        status_->SetStatus("Failed to Open " + target);
    }
    status_->SetLink(LinkText(*kelvane_));
    ShowMeter();
}

// A kept TCP connection tells each change once (made, lost, refused): in
// the status line and in the window's log, which keeps it after the pass
// lines have replaced the status. A link that the "Port" menu has replaced
// may still deliver one that it sent before it closed; that one is no news
// of the link in use and is dropped.
void TForm1::ShowLinkStates(TKelvane& link)
{
    link.SetOnLinkState([this, sender = &link](const QString& text) {
        if (kelvane_.get() != sender)
            return;
        status_->SetStatus(text);
        AddMemoLine(text);
    });
}

// Replaces the meter link with the one the dialog chose; Cancel leaves the
// link in use as it is. An operation that is waiting on the old link
// keeps its own reference, so the old link lives until that operation
// returns and is freed then. Its port is closed here all the same: the new
// link may want the same port, which stays taken while it is open, and the
// waiting operation then ends at once instead of after its timeout.
void TForm1::MenuPortClick()
{
    if (dialogs_.ComSelect->exec() != QDialog::Accepted)
        return;
    // No tick may poll while the links change over: a message box about the
    // new link would let it through to a link that is not open.
    tPolling.stop();
    if (kelvane_)
        kelvane_->SetActive(false);
    kelvane_.reset();
    KelvaneStart();
    kelvane_->SetBaudRate(BaudRateFromIndex(dialogs_.ComSelect->BaudIndex()));
    cbPollingClick();
}

// The meter an exchange of the link goes to: the list's name while the
// address is still the one selected there.
TMeterKey TForm1::MeterKey(const TKelvane& link) const
{
    const int address = DeviceAddress();
    const bool listed = !meterName_.isEmpty() && meterList_->SelectedAddress() == address;
    return {LinkText(link), static_cast<uint8_t>(address), listed ? meterName_ : QString()};
}
