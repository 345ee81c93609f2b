#include "LinkSession.h"

#include "KelvaneCOM.h"
#include "MessageBoxes.h"
#include "StatusBar.h"
#include "frmComSelect.h"

TLinkSession::TLinkSession(TComSelect& com, TStatusBar& status, std::function<void(const QString&)> log,
                           QWidget& window)
    : QObject(&window), com_(com), status_(status), log_(std::move(log)), window_(window)
{
    setObjectName("LinkSession");
}

TLinkSession::~TLinkSession() = default;

// Read from the link itself, not from the port dialog, whose controls may
// already show another choice while the dialog is open.
QString TLinkSession::LinkText(const TKelvane& link)
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

void TLinkSession::Start()
{
    const TLinkKind kind = com_.Kind();
    const bool serial = kind == TLinkKind::Serial;
    const QString target = serial ? com_.PortText() : com_.IpText();
    link_ = std::make_shared<TKelvane>(target, kind);
    if (!serial)
        link_->SetTcpPort(com_.TcpPort());
    com_.Link().Apply(*link_);
    // The chosen speed holds for a port that did not open too: the status
    // bar names it, and the port is opened at it when it is back.
    link_->SetBaudRate(BaudRateFromIndex(com_.BaudIndex()));
    ShowLinkStates(*link_);
    if (link_->Active()) {
        // A device server's port is named with its address, as it is seldom
        // the Modbus/TCP port; its baud rate is the meter's line's.
        const QString where =
            kind == TLinkKind::RtuOverTcp ? QString("%1:%2").arg(target).arg(com_.TcpPort()) : target;
        const QString opened = QString("Kelvane Opened on %1 at %2 baud").arg(where, com_.BaudText());
        status_.SetStatus(opened);
        log_(opened);
    } else {
        // A TCP link is inactive only for a target that is not an IP
        // address: no name is looked up, and no request would go anywhere.
        // A serial port says why it did not open (missing, in use, no
        // permission and its remedy).
        QString message = "ERROR: Could not connect to " + target;
        if (!serial)
            message += " (not an IP address)";
        else if (!link_->LastOpenError().isEmpty())
            message += "\n\n" + link_->LastOpenError();
        ShowMessageBox(&window_, QMessageBox::Critical, "Kelvane", message);
        status_.SetStatus("Failed to Open " + target);
    }
    status_.SetLink(LinkText(*link_));
    emit LinkChanged();
}

// An operation that is waiting on the old link keeps its own reference, so
// the old link lives until that operation returns and is freed then. Its
// port is closed here all the same: the new link may want the same port,
// which stays taken while it is open, and the waiting operation then ends
// at once instead of after its timeout.
void TLinkSession::Replace()
{
    if (link_)
        link_->SetActive(false);
    link_.reset();
    Start();
}

// A kept TCP connection tells each change once (made, lost, refused), and a
// serial port its loss with the system's reason: in the status line and in
// the window's log, which keeps it after the pass
// lines have replaced the status. A link that the "Port" menu has replaced
// may still deliver one that it sent before it closed; that one is no news
// of the link in use and is dropped.
void TLinkSession::ShowLinkStates(TKelvane& link)
{
    link.SetOnLinkState([this, sender = &link](const QString& text) {
        if (link_.get() != sender)
            return;
        status_.SetStatus(text);
        log_(text);
    });
}
