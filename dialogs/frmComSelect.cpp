#include "frmComSelect.h"

#include "AdapterLatency.h"
#include "KelvaneCOM.h"
#include "KelvaneError.h"
#include "MessageBoxes.h"
#include "ModbusConnection.h"
#include "ScreenPlacement.h"
#include "UEditIPAddr.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <initializer_list>

namespace {

// The texts of the baud list, in the order of the settings' speeds.
QStringList BaudTexts()
{
    QStringList texts;
    for (const TBaudRate rate : SettingsBaudRates)
        texts << QString::number(BaudRateValue(rate, 0));
    return texts;
}

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
// The tooltip also gives a USB adapter's latency timer where its driver
// shows it: at FTDI's default of 16 ms every short reply waits that long in
// the adapter.
void ShowPortDetails(QComboBox& box, const QString& sysfsRoot)
{
    for (int i = 0; i < box.count(); ++i) {
        const QString port = box.itemText(i);
        QStringList details;
        if (const QFileInfo info(port); info.isSymLink())
            details << info.canonicalFilePath();
        if (const std::optional<int> latency = AdapterLatencyTimerMs(port, sysfsRoot))
            details << QString("USB adapter latency timer: %1 ms").arg(*latency);
        if (!details.isEmpty())
            box.setItemData(i, details.join('\n'), Qt::ToolTipRole);
    }
}

bool IsValidTcpPort(int port)
{
    return port >= TComSelect::MinTcpPort && port <= TComSelect::MaxTcpPort;
}

} // namespace

TComSelect::TComSelect(QWidget* parent, TPortLister listPorts, QString sysfsRoot)
    : QDialog(parent),
      Mode(new QGroupBox("Mode", this)),
      cbRTU(new QRadioButton("Modbus/RTU", Mode)),
      cbTCP(new QRadioButton("Modbus/TCP", Mode)),
      cbRtuOverTcp(new QRadioButton("RTU over TCP", Mode)),
      Label1(new QLabel("Select COM Port:", this)),
      ComPort(new QComboBox(this)),
      IPAddress(new CEditIPAddr(this)),
      labBaud(new QLabel("Baud rate:", this)),
      BaudRate(new QComboBox(this)),
      labTcpPort(new QLabel("TCP Port:", this)),
      ebTcpPort(new QSpinBox(this)),
      labTimeout(new QLabel("Timeout (ms):", this)),
      ebTimeout(new QSpinBox(this)),
      labTries(new QLabel("Tries per bank:", this)),
      ebTries(new QSpinBox(this)),
      cbEcho(new QCheckBox("The adapter echoes what it sends", this)),
      cbEndAtLength(new QCheckBox("End serial replies at their expected length", this)),
      cbKeepConnection(new QCheckBox("Keep the Modbus/TCP connection open", this)),
      BitBtn1(new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), "OK", this)),
      bCancel(new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), "Cancel", this)),
      listPorts_(listPorts ? std::move(listPorts) : TPortLister(TKelvane::EnumComPorts)),
      sysfsRoot_(std::move(sysfsRoot))
{
    FormCreate();
}

void TComSelect::FormCreate()
{
    setWindowTitle("Port Select");
    BitBtn1->setObjectName("BitBtn1");
    bCancel->setObjectName("bCancel");

    cbRTU->setObjectName("cbRTU");
    cbTCP->setObjectName("cbTCP");
    cbRtuOverTcp->setObjectName("cbRtuOverTcp");
    cbRtuOverTcp->setToolTip("RTU frames through a serial device server in transparent mode");
    ComPort->setEditable(true);
    // Typed names stay in the edit; the list holds only the ports found.
    ComPort->setInsertPolicy(QComboBox::NoInsert);
    BaudRate->addItems(BaudTexts());
    BaudRate->setToolTip("The meter's line speed, also behind a device server: it times the silence that ends "
                         "an RTU reply");
    labBaud->setBuddy(BaudRate);
    ebTcpPort->setObjectName("ebTcpPort");
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
    cbEndAtLength->setObjectName("cbEndAtLength");
    cbEndAtLength->setToolTip("A reply is taken as soon as its length is in and its CRC checks, instead of after "
                              "the silence that follows it");
    cbKeepConnection->setObjectName("cbKeepConnection");
    cbKeepConnection->setToolTip("One connection carries every request until it breaks, instead of a connection "
                                 "per request");
    SetLink({});
    BitBtn1->setDefault(true);
    LayOutControls();

    cbRTU->setChecked(true);
    // toggled reaches the handler from a click and from SetKind alike; only
    // the button that became selected needs to run it.
    for (const auto& [kind, button] : ModeButtons())
        connect(button, &QRadioButton::toggled, this, [this](bool checked) {
            if (checked)
                cbRTUClick();
        });
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::accept);
    connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
    // The serial mode selected at start fills the port list.
    cbRTUClick();
}

// The dialog takes the size that its controls need in the desktop's font,
// and keeps it: the fields of every mode keep their room while hidden, so
// that a change of mode moves nothing.
void TComSelect::LayOutControls()
{
    // Each button is as wide as its caption, as a click beside the caption
    // does nothing; so are the check boxes below.
    auto* modes = new QVBoxLayout(Mode);
    for (const auto& [kind, button] : ModeButtons())
        modes->addWidget(button, 0, Qt::AlignLeft);

    auto* fields = new QGridLayout;
    fields->addWidget(Label1, 0, 0, 1, 2);
    // The port list and the address edit take turns in one place.
    fields->addWidget(ComPort, 1, 0, 1, 2, Qt::AlignTop);
    fields->addWidget(IPAddress, 1, 0, 1, 2, Qt::AlignLeft | Qt::AlignTop);
    const std::pair<QLabel*, QWidget*> rows[] = {
        {labBaud, BaudRate}, {labTcpPort, ebTcpPort}, {labTimeout, ebTimeout}, {labTries, ebTries}};
    int row = 2;
    for (const auto& [label, field] : rows) {
        fields->addWidget(label, row, 0);
        fields->addWidget(field, row++, 1);
    }
    fields->setColumnStretch(1, 1);

    auto* ok = new QHBoxLayout;
    ok->addStretch();
    ok->addWidget(BitBtn1);
    ok->addWidget(bCancel);
    ok->addStretch();

    auto* dialog = new QVBoxLayout(this);
    dialog->setSizeConstraint(QLayout::SetFixedSize);
    dialog->addWidget(Mode);
    dialog->addLayout(fields);
    for (QCheckBox* box : {cbEcho, cbEndAtLength, cbKeepConnection})
        dialog->addWidget(box, 0, Qt::AlignLeft);
    dialog->addLayout(ok);
    // The dialog is at least as wide as its title with the title bar's
    // buttons, so that the window manager need not cut it.
    dialog->addItem(new QSpacerItem(TitleWidth(), 0, QSizePolicy::Fixed, QSizePolicy::Fixed));

    for (QWidget* field : std::initializer_list<QWidget*>{ComPort, IPAddress, labBaud, BaudRate, labTcpPort,
                                                          ebTcpPort}) {
        QSizePolicy policy = field->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        field->setSizePolicy(policy);
    }
}

std::array<std::pair<TLinkKind, QRadioButton*>, 3> TComSelect::ModeButtons() const
{
    return {{{TLinkKind::Serial, cbRTU}, {TLinkKind::Tcp, cbTCP}, {TLinkKind::RtuOverTcp, cbRtuOverTcp}}};
}

TLinkKind TComSelect::Kind() const
{
    const auto buttons = ModeButtons();
    const auto checked = std::find_if(buttons.begin(), buttons.end(),
                                      [](const auto& entry) { return entry.second->isChecked(); });
    return checked == buttons.end() ? TLinkKind::Serial : checked->first;
}

void TComSelect::SetKind(TLinkKind kind)
{
    for (const auto& [buttonKind, button] : ModeButtons())
        if (buttonKind == kind)
            button->setChecked(true);
}

TLinkSettings TComSelect::Link() const
{
    return {ebTimeout->value(), ebTries->value(), cbEcho->isChecked(), cbEndAtLength->isChecked(),
            cbKeepConnection->isChecked()};
}

void TComSelect::SetLink(const TLinkSettings& link)
{
    ebTimeout->setValue(link.ReceiveTimeoutMs);
    ebTries->setValue(link.Tries);
    cbEcho->setChecked(link.Echo);
    cbEndAtLength->setChecked(link.EndAtLength);
    cbKeepConnection->setChecked(link.KeepConnection);
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

QString TComSelect::BaudText() const
{
    return BaudRate->currentText();
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
    const TLinkKind kind = Kind();
    if (kind == TLinkKind::Serial)
        FillPortList();
    FollowKindDefaults(kind);
    ShowModeFields(kind);
}

// The speed boxes, while they hold the defaults of the kind shown so far,
// take those of the kind chosen; boxes the technician set otherwise stay.
void TComSelect::FollowKindDefaults(TLinkKind kind)
{
    const TLinkSettings was = TLinkSettings::Defaults(shownKind_);
    const TLinkSettings now = TLinkSettings::Defaults(kind);
    shownKind_ = kind;
    if (cbEndAtLength->isChecked() != was.EndAtLength || cbKeepConnection->isChecked() != was.KeepConnection)
        return;
    cbEndAtLength->setChecked(now.EndAtLength);
    cbKeepConnection->setChecked(now.KeepConnection);
}

// A serial port is named, a TCP link addressed; RTU frames, on a line or
// through a device server, are timed by the line's speed and may be echoed
// by an RS-485 adapter, and only a TCP link has a connection to keep.
void TComSelect::ShowModeFields(TLinkKind kind)
{
    const bool serial = kind == TLinkKind::Serial;
    const bool rtu = kind != TLinkKind::Tcp;
    Label1->setText(serial ? "Select COM Port:" : "Enter IP Address:");
    ComPort->setVisible(serial);
    IPAddress->setVisible(!serial);
    labBaud->setVisible(rtu);
    BaudRate->setVisible(rtu);
    BaudRate->setEnabled(rtu);
    labTcpPort->setVisible(!serial);
    ebTcpPort->setVisible(!serial);
    cbEcho->setEnabled(rtu);
    cbEndAtLength->setEnabled(rtu);
    cbKeepConnection->setEnabled(!serial);
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
    ShowPortDetails(*ComPort, sysfsRoot_);
    SetPortText(text);
    // Stable names under /dev/serial/by-id are long: the drop-down widens
    // to show them whole while the field keeps its place.
    ComPort->view()->setMinimumWidth(ComPort->view()->sizeHintForColumn(0) + PopupPadding);
}

// The title bar's font is the window manager's: a bold font a fifth larger
// than the dialog's stands for it, and four of its line heights for the
// icon and the buttons.
int TComSelect::TitleWidth() const
{
    QFont title = font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.2);
    const QFontMetrics metrics(title);
    return metrics.horizontalAdvance(windowTitle()) + 4 * metrics.height();
}

TComSelect::rChoice TComSelect::Choice() const
{
    return {Kind(), PortText(), IpText(), BaudIndex(), TcpPort(), Link()};
}

void TComSelect::SetChoice(const rChoice& choice)
{
    SetKind(choice.Kind);
    SetPortText(choice.Port);
    SetIpText(choice.Ip);
    SetBaudIndex(choice.BaudIndex);
    SetTcpPort(choice.TcpPort);
    SetLink(choice.Link);
}

// A TCP link needs the whole address: a half-filled one would be read with
// its empty fields as 0 and go to another host.
void TComSelect::accept()
{
    if (Kind() != TLinkKind::Serial && !IPAddress->Complete()) {
        ShowMessageBox(this, QMessageBox::Warning, "Port Select",
                       "Enter all four numbers of the IP address, for example 192.168.1.50.");
        IPAddress->setFocus();
        return;
    }
    QDialog::accept();
}

void TComSelect::reject()
{
    SetChoice(opened_);
    QDialog::reject();
}

void TComSelect::showEvent(QShowEvent* event)
{
    opened_ = Choice();
    FormShow();
    QDialog::showEvent(event);
}

// Centred on the screen the dialog is on, every time it is shown.
void TComSelect::FormShow()
{
    CentreOnScreen(*this);
}
