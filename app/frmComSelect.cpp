#include "frmComSelect.h"

#include "KelvaneCOM.h"
#include "KelvaneError.h"
#include "ModbusConnection.h"
#include "ScreenPlacement.h"
#include "UEditIPAddr.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>

#include <algorithm>
#include <array>

namespace {

// The texts of the baud list, in the order of the settings' speeds.
QStringList BaudTexts()
{
    QStringList texts;
    for (const TBaudRate rate : SettingsBaudRates)
        texts << QString::number(BaudRateValue(rate, 0));
    return texts;
}

// The pixel geometry of the controls in the client area. The TCP port row
// takes the baud list's place, since the two are never shown together.
constexpr int Margin = 8;
constexpr int FieldWidth = 145;
constexpr int FieldHeight = 21;
constexpr int ModeTop = 8;
constexpr int ModeHeight = 57;
constexpr int RadioLeft = 8;
constexpr int RtuTop = 16;
constexpr int TcpTop = 32;
constexpr int RadioHeight = 17;
constexpr int PromptTop = 72;
constexpr int PortTop = 88;
constexpr int BaudTop = 120;
constexpr int TcpPortLabelWidth = 60;
constexpr int TimeoutTop = 152;
constexpr int TriesTop = 180;
constexpr int EchoTop = 208;
constexpr int LinkLabelWidth = 95;
constexpr int OkTop = 240;
constexpr int OkWidth = 75;
constexpr int OkHeight = 25;
constexpr int PopupPadding = 8;

QString WithoutBlanks(const QString& text)
{
    QString result;
    for (const QChar c : text)
        if (!c.isSpace())
            result += c;
    return result;
}

// A stable name under /dev/serial/by-id tells which adapter it is, not
// which device it is today: its entry's tooltip names the device it leads
// to, while the entry itself stays the plain path that is saved and opened.
void ShowLinkTargets(QComboBox& box)
{
    for (int i = 0; i < box.count(); ++i) {
        const QFileInfo info(box.itemText(i));
        if (info.isSymLink())
            box.setItemData(i, info.canonicalFilePath(), Qt::ToolTipRole);
    }
}

bool IsValidTcpPort(int port)
{
    return port >= TComSelect::MinTcpPort && port <= TComSelect::MaxTcpPort;
}

} // namespace

TComSelect::TComSelect(QWidget* parent, TPortLister listPorts)
    : QDialog(parent),
      Mode(new QGroupBox("Mode", this)),
      cbRTU(new QRadioButton("Modbus/RTU", Mode)),
      cbTCP(new QRadioButton("Modbus/TCP", Mode)),
      Label1(new QLabel("Select COM Port:", this)),
      ComPort(new QComboBox(this)),
      IPAddress(new CEditIPAddr(this)),
      BaudRate(new QComboBox(this)),
      labTcpPort(new QLabel("TCP Port:", this)),
      ebTcpPort(new QSpinBox(this)),
      labTimeout(new QLabel("Timeout (ms):", this)),
      ebTimeout(new QSpinBox(this)),
      labTries(new QLabel("Tries per bank:", this)),
      ebTries(new QSpinBox(this)),
      cbEcho(new QCheckBox("The adapter echoes what it sends", this)),
      BitBtn1(new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), "OK", this)),
      listPorts_(listPorts ? std::move(listPorts) : TPortLister(TKelvane::EnumComPorts))
{
    FormCreate();
}

void TComSelect::FormCreate()
{
    setWindowTitle("Port Select");
    // A title bar without a close box: OK is the way out.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // The echo's caption is wider than the other fields: the dialog makes
    // room for it whole in the desktop's font.
    setFixedSize(std::max(ClientWidth, cbEcho->sizeHint().width() + 2 * Margin), ClientHeight);

    ComPort->setEditable(true);
    // Typed names stay in the edit; the list holds only the ports found.
    ComPort->setInsertPolicy(QComboBox::NoInsert);
    BaudRate->addItems(BaudTexts());
    ebTcpPort->setRange(MinTcpPort, MaxTcpPort);
    ebTcpPort->setValue(DefaultTcpPort);
    labTcpPort->setBuddy(ebTcpPort);
    ebTimeout->setObjectName("ebTimeout");
    ebTimeout->setRange(TLinkSettings::MinReceiveTimeoutMs, TLinkSettings::MaxReceiveTimeoutMs);
    ebTimeout->setSingleStep(100);
    ebTimeout->setToolTip("How long to wait for each reply of the meter or gateway");
    labTimeout->setBuddy(ebTimeout);
    ebTries->setObjectName("ebTries");
    ebTries->setRange(TLinkSettings::MinTries, TLinkSettings::MaxTries);
    ebTries->setToolTip("How often a register bank is asked for before the pass gives up on it");
    labTries->setBuddy(ebTries);
    cbEcho->setObjectName("cbEcho");
    cbEcho->setToolTip("An RS-485 adapter that returns every frame it sends: the echo is removed before the reply");
    SetLink({});
    BitBtn1->setDefault(true);
    PlaceControls();

    cbRTU->setChecked(true);
    // toggled reaches the handler from a click and from SetTcp alike; only
    // the button that became selected needs to run it.
    for (QRadioButton* button : {cbRTU, cbTCP})
        connect(button, &QRadioButton::toggled, this, [this](bool checked) {
            if (checked)
                cbRTUClick();
        });
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    // The serial mode selected at start fills the port list.
    cbRTUClick();
}

void TComSelect::PlaceControls()
{
    Mode->setGeometry(Margin, ModeTop, FieldWidth, ModeHeight);
    cbRTU->setGeometry(RadioLeft, RtuTop, FieldWidth - 2 * RadioLeft, RadioHeight);
    cbTCP->setGeometry(RadioLeft, TcpTop, FieldWidth - 2 * RadioLeft, RadioHeight);
    Label1->setGeometry(Margin, PromptTop, FieldWidth, Label1->sizeHint().height());
    ComPort->setGeometry(Margin, PortTop, FieldWidth, FieldHeight);
    // The address edit widens itself where the font needs more room for
    // three digits an octet.
    IPAddress->setGeometry(Margin, PortTop, std::max(CEditIPAddr::DefaultWidth, IPAddress->minimumWidth()),
                           IPAddress->height());
    BaudRate->setGeometry(Margin, BaudTop, FieldWidth, FieldHeight);
    labTcpPort->setGeometry(Margin, BaudTop, TcpPortLabelWidth, FieldHeight);
    ebTcpPort->setGeometry(Margin + TcpPortLabelWidth, BaudTop, FieldWidth - TcpPortLabelWidth, FieldHeight);
    labTimeout->setGeometry(Margin, TimeoutTop, LinkLabelWidth, FieldHeight);
    ebTimeout->setGeometry(Margin + LinkLabelWidth, TimeoutTop, FieldWidth - LinkLabelWidth, FieldHeight);
    labTries->setGeometry(Margin, TriesTop, LinkLabelWidth, FieldHeight);
    ebTries->setGeometry(Margin + LinkLabelWidth, TriesTop, FieldWidth - LinkLabelWidth, FieldHeight);
    cbEcho->setGeometry(Margin, EchoTop, cbEcho->sizeHint().width(), FieldHeight);
    // Centred, as in the narrow dialog the echo's caption may have widened.
    BitBtn1->setGeometry((width() - OkWidth) / 2, OkTop, OkWidth, OkHeight);
}

TLinkSettings TComSelect::Link() const
{
    return {ebTimeout->value(), ebTries->value(), cbEcho->isChecked()};
}

void TComSelect::SetLink(const TLinkSettings& link)
{
    ebTimeout->setValue(link.ReceiveTimeoutMs);
    ebTries->setValue(link.Tries);
    cbEcho->setChecked(link.Echo);
}

bool TComSelect::IsTcp() const
{
    return cbTCP->isChecked();
}

void TComSelect::SetTcp(bool tcp)
{
    (tcp ? cbTCP : cbRTU)->setChecked(true);
}

QString TComSelect::PortText() const
{
    return ComPort->currentText();
}

void TComSelect::SetPortText(const QString& text)
{
    ComPort->setCurrentIndex(ComPort->findText(text));
    ComPort->setEditText(text);
}

QString TComSelect::IpText() const
{
    return WithoutBlanks(IPAddress->Text());
}

// A saved address that does not parse must not stop the program from
// starting, so it is dropped rather than raised.
bool TComSelect::SetIpText(const QString& text)
{
    try {
        IPAddress->SetText(WithoutBlanks(text));
        return true;
    } catch (const EKelvaneError&) {
        IPAddress->SetText("");
        return false;
    }
}

int TComSelect::BaudIndex() const
{
    return BaudRate->currentIndex();
}

void TComSelect::SetBaudIndex(int index)
{
    BaudRate->setCurrentIndex(index >= 0 && index < BaudRate->count() ? index : 0);
}

int TComSelect::TcpPort() const
{
    return ebTcpPort->value();
}

void TComSelect::SetTcpPort(int port)
{
    ebTcpPort->setValue(IsValidTcpPort(port) ? port : DefaultTcpPort);
}

void TComSelect::cbRTUClick()
{
    if (cbRTU->isChecked()) {
        FillPortList();
        ShowSerialFields(true);
    } else if (cbTCP->isChecked()) {
        ShowSerialFields(false);
    }
}

void TComSelect::ShowSerialFields(bool serial)
{
    Label1->setText(serial ? "Select COM Port:" : "Enter IP Address:");
    BaudRate->setEnabled(serial);
    BaudRate->setVisible(serial);
    ComPort->setVisible(serial);
    IPAddress->setVisible(!serial);
    labTcpPort->setVisible(!serial);
    ebTcpPort->setVisible(!serial);
    cbEcho->setEnabled(serial);
}

// The list is replaced by the ports present now, in alphabetical order; the
// port name in the edit, typed or set, stays as it was.
void TComSelect::FillPortList()
{
    QStringList ports;
    listPorts_(ports);
    ports.sort(Qt::CaseInsensitive);
    const QString text = PortText();
    ComPort->clear();
    ComPort->addItems(ports);
    ShowLinkTargets(*ComPort);
    SetPortText(text);
    // Stable names under /dev/serial/by-id are long: the drop-down widens
    // to show them whole while the field keeps its place.
    ComPort->view()->setMinimumWidth(ComPort->view()->sizeHintForColumn(0) + PopupPadding);
}

void TComSelect::showEvent(QShowEvent* event)
{
    FormShow();
    QDialog::showEvent(event);
}

// Centred on the screen the dialog is on, every time it is shown.
void TComSelect::FormShow()
{
    CentreOnScreen(*this);
}
