#pragma once

#include "BaudRate.h"
#include "LinkSettings.h"
#include "LinkTransport.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <utility>

class CEditIPAddr;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

// "Port Select": how the utility reaches the meter: Modbus RTU on a named
// serial port at one of four baud rates, Modbus/TCP to an IP address and
// TCP port, or RTU over TCP (RTU frames through a serial device server in
// transparent mode, at its IP address and TCP port); and the link's reply
// timeout, tries per bank, adapter echo, replies ended at their length and
// a kept TCP connection. Its controls hold the connection settings for the
// whole run; the main window fills them at start, reads them to open the
// link and saves them at close. OK keeps what the controls show (a TCP link
// needs a whole IP address); Cancel, Escape and the close box put back what
// they showed when the dialog opened. Leaving the dialog only hides it.
class TComSelect : public QDialog {
    Q_OBJECT
public:
    // Fills list with the machine's serial ports.
    using TPortLister = std::function<void(QStringList& list)>;

    static constexpr int DefaultTcpPort = 502;
    static constexpr int MinTcpPort = 1;
    static constexpr int MaxTcpPort = 65535;

    // listPorts is asked for the port list whenever the serial mode is shown;
    // without one the dialog lists the machine's serial devices. sysfsRoot
    // stands for /sys, where the list finds the details of USB adapters.
    explicit TComSelect(QWidget* parent = nullptr, TPortLister listPorts = {}, QString sysfsRoot = "/sys");

    TLinkKind Kind() const;
    // Selects the mode's button, which shows that mode's fields.
    void SetKind(TLinkKind kind);

    QString PortText() const;
    void SetPortText(const QString& text);

    // The address with every blank removed; "" while the field is empty.
    QString IpText() const;
    // Blanks are removed first. An address that is not a valid dotted IPv4
    // address empties the field and gives false; "" empties it too.
    bool SetIpText(const QString& text);

    // The reply timeout, the tries per bank, the adapter's echo, replies
    // ended at their length and the kept connection; values outside their
    // ranges are brought into them.
    TLinkSettings Link() const;
    void SetLink(const TLinkSettings& link);

    // The selected entry of the baud list, 0..3, and its text ("19200").
    int BaudIndex() const;
    QString BaudText() const;
    // An index outside the list selects the first entry.
    void SetBaudIndex(int index);

    int TcpPort() const;
    // A port outside 1..65535 gives the default 502.
    void SetTcpPort(int port);

    // The click handler of the mode buttons: shows the fields of the
    // selected mode and, for the serial one, refreshes the port list.
    void cbRTUClick();

    QGroupBox* const Mode;
    QRadioButton* const cbRTU;
    QRadioButton* const cbTCP;
    QRadioButton* const cbRtuOverTcp;
    QLabel* const Label1;
    QComboBox* const ComPort;
    CEditIPAddr* const IPAddress;
    // RTU only, on a serial line or behind a device server: the line's
    // speed times the silence that ends a frame.
    QLabel* const labBaud;
    QComboBox* const BaudRate;
    // The TCP port of the meter, gateway or device server.
    QLabel* const labTcpPort;
    QSpinBox* const ebTcpPort;
    QLabel* const labTimeout;
    QSpinBox* const ebTimeout;
    QLabel* const labTries;
    QSpinBox* const ebTries;
    // RTU only: Modbus/TCP has no echo and frames its replies by their header.
    QCheckBox* const cbEcho;
    QCheckBox* const cbEndAtLength;
    // TCP links only.
    QCheckBox* const cbKeepConnection;
    QPushButton* const BitBtn1;
    QPushButton* const bCancel;

    void accept() override;
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Everything the controls choose, as the dialog was opened with it.
    struct rChoice {
        TLinkKind Kind = TLinkKind::Serial;
        QString Port;
        QString Ip;
        int BaudIndex = 0;
        int TcpPort = DefaultTcpPort;
        TLinkSettings Link;
    };
    rChoice Choice() const;
    void SetChoice(const rChoice& choice);
    int TitleWidth() const;

    void FormCreate();
    void FormShow();
    void LayOutControls();
    void FillPortList();
    void ShowModeFields(TLinkKind kind);
    void FollowKindDefaults(TLinkKind kind);
    std::array<std::pair<TLinkKind, QRadioButton*>, 3> ModeButtons() const;

    TPortLister listPorts_;
    QString sysfsRoot_;
    rChoice opened_;
    TLinkKind shownKind_ = TLinkKind::Serial; // whose fields and defaults the dialog shows
};
