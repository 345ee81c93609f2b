// Opening the connection to the meter from the port dialog's choice.

#include "main.h"

#include "MessageBoxes.h"
#include "frmComSelect.h"

#include <QCheckBox>
#include <QComboBox>

void TForm1::KelvaneStart()
{
    const TComSelect& com = *dialogs_.ComSelect;
    const bool tcp = com.IsTcp();
    const QString target = tcp ? com.IpText() : com.PortText();
    kelvane_ = std::make_shared<TKelvane>(target, tcp);
    if (tcp)
        kelvane_->SetTcpPort(com.TcpPort());
    kelvane_->SetRXTimeout(com.Link().ReceiveTimeoutMs);
    kelvane_->SetEcho(com.Link().Echo);
    if (kelvane_->Active()) {
        SetStatus(0, QString("Kelvane Opened on %1 at %2 baud").arg(target, com.BaudRate->currentText()));
        kelvane_->SetBaudRate(BaudRateFromIndex(com.BaudIndex()));
    } else {
        // A Modbus/TCP link is inactive only for a target that is not an IP
        // address: no name is looked up, and no request would go anywhere.
        // A serial port says why it did not open (missing, in use, no
        // permission and its remedy).
        QString message = "ERROR: Could not connect to " + target;
        if (tcp)
            message += " (not an IP address)";
        else if (!kelvane_->LastOpenError().isEmpty())
            message += "\n\n" + kelvane_->LastOpenError();
        ShowMessageBox(this, QMessageBox::Critical, "Kelvane", message);
        SetStatus(0, "Failed to Open " + target);
    }
}

// Replaces the meter link. An operation that is waiting on the old link
// keeps its own reference, so the old link lives until that operation
// returns and is freed then. Its port is closed here all the same: the new
// link may want the same port, which stays taken while it is open, and the
// waiting operation then ends at once instead of after its timeout.
void TForm1::MenuPortClick()
{
    dialogs_.ComSelect->exec();
    if (kelvane_)
        kelvane_->SetActive(false);
    kelvane_.reset();
    KelvaneStart();
    kelvane_->SetBaudRate(BaudRateFromIndex(dialogs_.ComSelect->BaudIndex()));
    cbPollingClick();
}
