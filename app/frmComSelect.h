#pragma once

#include "BaudRate.h"
#include "LinkSettings.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>

class CEditIPAddr;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

// "Port Select": how the utility reaches the meter, serial Modbus on a named
// port at one of four baud rates or Modbus/TCP to an IP address and TCP
// port, and the link's reply timeout, tries per bank and adapter echo. Its controls hold the connection settings for the whole run; the
// main window fills them at start, reads them to open the link and saves
// them at close. Closing the dialog in any way only hides it.
class TComSelect : public QDialog {
    Q_OBJECT
public:
    // Fills list with the machine's serial ports.
    using TPortLister = std::function<void(QStringList& list)>;

    static constexpr int ClientWidth = 161;
    static constexpr int ClientHeight = 273;
    static constexpr int DefaultTcpPort = 502;
    static constexpr int MinTcpPort = 1;
    static constexpr int MaxTcpPort = 65535;

    // listPorts is asked for the port list whenever the serial mode is shown;
    // without one the dialog lists the machine's serial devices.
    explicit TComSelect(QWidget* parent = nullptr, TPortLister listPorts = {});

    bool IsTcp() const;
    // Selects Modbus/TCP or the serial transport and shows that mode's fields.
    void SetTcp(bool tcp);

    QString PortText() const;
    void SetPortText(const QString& text);

    // The address with every blank removed; "" while the field is empty.
    QString IpText() const;
    // Blanks are removed first. An address that is not a valid dotted IPv4
    // address empties the field and gives false; "" empties it too.
    bool SetIpText(const QString& text);

    // The reply timeout, the tries per bank and the adapter's echo; values
    // outside their ranges are brought into them.
    TLinkSettings Link() const;
    void SetLink(const TLinkSettings& link);

    // The selected entry of the baud list, 0..3.
    int BaudIndex() const;
    // An index outside the list selects the first entry.
    void SetBaudIndex(int index);

    int TcpPort() const;
    // A port outside 1..65535 gives the default 502.
    void SetTcpPort(int port);

    // The click handler of both mode buttons: shows the fields of the
    // selected mode and, for the serial one, refreshes the port list.
    void cbRTUClick();

    QGroupBox* const Mode;
    QRadioButton* const cbRTU;
    QRadioButton* const cbTCP;
    QLabel* const Label1;
    QComboBox* const ComPort;
    CEditIPAddr* const IPAddress;
    QComboBox* const BaudRate;
    // The TCP port of the meter or gateway, in the baud list's place, which
    // Modbus/TCP does not use.
    QLabel* const labTcpPort;
    QSpinBox* const ebTcpPort;
    QLabel* const labTimeout;
    QSpinBox* const ebTimeout;
    QLabel* const labTries;
    QSpinBox* const ebTries;
    // Serial only: Modbus/TCP has no echo.
    QCheckBox* const cbEcho;
    QPushButton* const BitBtn1;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void PlaceControls();
    void FillPortList();
    void ShowSerialFields(bool serial);

    TPortLister listPorts_;
};
