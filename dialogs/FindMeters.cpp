#include "FindMeters.h"

#include "KelvaneCOM.h"
#include "MessageBoxes.h"
#include "MeterScan.h"
#include "ProgressDialogUnit.h"
#include "ScreenPlacement.h"

#include <QCoreApplication>
#include <QHideEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

enum TColumn { ColAddress, ColSerial, ColVersion, ColModel, ColRemark };
constexpr int AddressRole = Qt::UserRole;
constexpr int KelvaneRole = Qt::UserRole + 1;
constexpr int NameRole = Qt::UserRole + 2;
constexpr int InListRole = Qt::UserRole + 3;
// How often a scan asked for during a poll's exchange looks again.
constexpr int StartRetryMs = 50;

const bool NeverClosing = false;

QString DefaultName(const TScanFinding& finding)
{
    return finding.SerialNumber ? QString("SN %1").arg(*finding.SerialNumber)
                                : QString("Meter %1").arg(finding.Address);
}

QString EndText(const TScanEnd& end, int first, int last, int meters, int others)
{
    QString found = QString("%1 Kelvane meter%2 found").arg(meters).arg(meters == 1 ? "" : "s");
    if (others > 0)
        found += QString(", %1 other device%2 answered").arg(others).arg(others == 1 ? "" : "s");
    switch (end.Kind) {
    case TScanEnd::TKind::Cancelled:
        if (end.LastAddress == 0)
            return "Scan cancelled before the first address.";
        return QString("Scan cancelled after address %1: %2.").arg(end.LastAddress).arg(found);
    case TScanEnd::TKind::Failed:
        return QString("Scan stopped at address %1: %2. %3.").arg(end.LastAddress).arg(end.Error, found);
    case TScanEnd::TKind::Completed:
        break;
    }
    return QString("Addresses %1 to %2 asked: %3.").arg(first).arg(last).arg(found);
}

} // namespace

TFindMeters::TFindMeters(THost host, TProgressDialog& progress, QWidget* parent)
    : QDialog(parent),
      ebFirst(new QLineEdit(QString::number(LowestAddress))),
      ebLast(new QLineEdit(QString::number(DefaultLastAddress))),
      bScan(new QPushButton("Scan")),
      bCancelScan(new QPushButton("Cancel")),
      lvFound(new QTreeWidget),
      ebMeterName(new QLineEdit),
      bAddMeter(new QPushButton("Add to Meter List")),
      bAddAll(new QPushButton("Add all")),
      labScan(new QLabel("Choose the addresses to ask, then Scan.")),
      host_(std::move(host)),
      progress_(progress)
{
    setObjectName("FindMeters");
    setWindowTitle("Find Meters");
    // The main window waits while this one is open: a command there would
    // want the link that the scan is using.
    setWindowModality(Qt::WindowModal);
    if (!host_.AppClosing)
        host_.AppClosing = &NeverClosing;

    ebFirst->setObjectName("ebFirst");
    ebLast->setObjectName("ebLast");
    for (QLineEdit* edit : {ebFirst, ebLast})
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance("0000") + 16);
    bScan->setObjectName("bScan");
    bCancelScan->setObjectName("bCancelScan");
    bCancelScan->setEnabled(false);
    auto* range = new QHBoxLayout;
    range->addWidget(new QLabel("Addresses from"));
    range->addWidget(ebFirst);
    range->addWidget(new QLabel("to"));
    range->addWidget(ebLast);
    range->addStretch();
    range->addWidget(bScan);
    range->addWidget(bCancelScan);

    lvFound->setObjectName("lvFound");
    lvFound->setRootIsDecorated(false);
    lvFound->setHeaderLabels({"Address", "Serial Number", "Software Version", "Model", "Remark"});
    lvFound->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    lvFound->header()->setStretchLastSection(true);
    lvFound->setMinimumSize(320, 120);

    ebMeterName->setObjectName("ebMeterName");
    bAddMeter->setObjectName("bAddMeter");
    bAddMeter->setEnabled(false);
    bAddAll->setObjectName("bAddAll");
    bAddAll->setToolTip("Adds every meter found that the meter list does not have yet, each under the name shown "
                        "for it");
    bAddAll->setEnabled(false);
    auto* add = new QHBoxLayout;
    add->addWidget(new QLabel("Name:"));
    add->addWidget(ebMeterName, 1);
    add->addWidget(bAddMeter);
    add->addWidget(bAddAll);

    labScan->setObjectName("labScan");
    labScan->setWordWrap(true);
    auto* bClose = new QPushButton("Close");
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(labScan, 1);
    bottom->addWidget(bClose);

    auto* page = new QVBoxLayout(this);
    page->addLayout(range);
    page->addWidget(lvFound, 1);
    page->addLayout(add);
    page->addLayout(bottom);

    // Room for every column of a row found, where the screen has it (see showEvent).
    resize(900, 420);

    connect(bScan, &QPushButton::clicked, this, &TFindMeters::bScanClick);
    connect(bCancelScan, &QPushButton::clicked, this, &TFindMeters::bCancelScanClick);
    connect(bAddMeter, &QPushButton::clicked, this, &TFindMeters::bAddMeterClick);
    connect(bAddAll, &QPushButton::clicked, this, &TFindMeters::bAddAllClick);
    connect(bClose, &QPushButton::clicked, this, &TFindMeters::reject);
    connect(lvFound, &QTreeWidget::currentItemChanged, this, &TFindMeters::FoundSelected);
    // The progress window's own button is the scan's Cancel while it runs.
    connect(progress_.bClose, &QPushButton::clicked, this, [this] {
        if (scanning_)
            bCancelScanClick();
    });
}

void TFindMeters::bScanClick()
{
    if (scanning_ || startPending_)
        return;
    int first = 0;
    int last = 0;
    if (!ReadRange(first, last))
        return;
    const std::shared_ptr<TKelvane> link = host_.Link ? host_.Link() : nullptr;
    if (!link) {
        labScan->setText("There is no connection to scan: choose a port first.");
        return;
    }
    // The link carries one exchange at a time: while a poll waits for its
    // answer, the scan waits its turn.
    if (link->Exchanging()) {
        startPending_ = true;
        labScan->setText("Waiting for the poll under way to end...");
        QTimer::singleShot(StartRetryMs, this, [this] {
            if (!startPending_)
                return;
            startPending_ = false;
            bScanClick();
        });
        return;
    }
    Scan(*link, first, last);
}

void TFindMeters::bCancelScanClick()
{
    cancel_ = true;
    if (startPending_) {
        startPending_ = false;
        labScan->setText("Scan cancelled before the first address.");
    }
}

bool TFindMeters::ReadRange(int& first, int& last)
{
    bool firstOk = false;
    bool lastOk = false;
    first = ebFirst->text().trimmed().toInt(&firstOk);
    last = ebLast->text().trimmed().toInt(&lastOk);
    if (firstOk && lastOk && first >= LowestAddress && last <= HighestAddress && first <= last)
        return true;
    ShowMessageBox(this, QMessageBox::Warning, "Find Meters",
                   QString("The addresses to ask must be whole numbers from %1 to %2, the first not above the last.")
                       .arg(LowestAddress)
                       .arg(HighestAddress));
    return false;
}

// Polling, the link's timeout, the register image and the progress window
// are given back however the scan ends.
void TFindMeters::Scan(TKelvane& link, int first, int last)
{
    lvFound->clear();
    ebMeterName->clear();
    cancel_ = false;
    SetScanning(true);
    if (host_.PausePolling)
        host_.PausePolling();
    progress_.Start(QString("Finding meters at addresses %1 to %2").arg(first).arg(last), last - first + 1);
    progress_.bClose->setText("Cancel");
    progress_.bClose->setVisible(true);
    struct TScanning {
        TFindMeters& window;
        ~TScanning()
        {
            window.progress_.bClose->setText("Close");
            window.progress_.hide();
            window.SetScanning(false);
            if (window.host_.ResumePolling)
                window.host_.ResumePolling();
        }
    } scanning{*this};
    TScanEnd end;
    {
        TMeterScan scan(link, *host_.AppClosing);
        end = scan.Run(
            first, last, [this, first](int address) { return NextAddress(first, address); },
            [this](const TScanFinding& finding) { AddFinding(finding); });
    }
    int meters = 0;
    for (int i = 0; i < lvFound->topLevelItemCount(); ++i)
        meters += lvFound->topLevelItem(i)->data(ColAddress, KelvaneRole).toBool() ? 1 : 0;
    labScan->setText(EndText(end, first, last, meters, lvFound->topLevelItemCount() - meters));
}

// A Cancel waiting in the event queue is seen before the next request goes
// out; closing the progress window counts as Cancel as well.
bool TFindMeters::NextAddress(int first, int address)
{
    QCoreApplication::processEvents();
    if (cancel_ || !progress_.isVisible())
        return false;
    progress_.Label1->setText(
        QString("Finding meters: asking address %1 of %2 to %3").arg(address).arg(first).arg(ebLast->text().trimmed()));
    progress_.SetPosition(address - first);
    return true;
}

void TFindMeters::AddFinding(const TScanFinding& finding)
{
    auto* item = new QTreeWidgetItem(lvFound);
    item->setText(ColAddress, QString::number(finding.Address));
    item->setData(ColAddress, AddressRole, finding.Address);
    item->setData(ColAddress, KelvaneRole, finding.Kelvane);
    if (!finding.Kelvane) {
        item->setText(ColRemark, QString("not a Kelvane meter (%1)").arg(finding.Answer));
        return;
    }
    if (finding.SerialNumber)
        item->setText(ColSerial, QString::number(*finding.SerialNumber));
    if (finding.SoftwareVersion)
        item->setText(ColVersion, SoftwareVersionText(*finding.SoftwareVersion));
    item->setText(ColModel, finding.Model);
    const std::vector<int> known = KnownAddresses();
    const bool inList = std::find(known.begin(), known.end(), finding.Address) != known.end();
    item->setData(ColAddress, InListRole, inList);
    item->setText(ColRemark, inList ? "Kelvane meter, already in the meter list" : "Kelvane meter");
    item->setData(ColAddress, NameRole, DefaultName(finding));
    if (!lvFound->currentItem())
        lvFound->setCurrentItem(item);
}

void TFindMeters::FoundSelected()
{
    const QTreeWidgetItem* item = lvFound->currentItem();
    const bool meter = item && item->data(ColAddress, KelvaneRole).toBool();
    ebMeterName->setText(meter ? item->data(ColAddress, NameRole).toString() : QString());
    bAddMeter->setEnabled(item && Addable(item) && !scanning_);
    bAddAll->setEnabled(AnyAddable() && !scanning_);
}

void TFindMeters::bAddMeterClick()
{
    QTreeWidgetItem* item = lvFound->currentItem();
    if (item && Addable(item))
        AddRow(item, ebMeterName->text().trimmed());
    FoundSelected();
}

// Each meter goes in under its default name; one that the list refuses
// (the refusal has been shown) stays addable, and the others go in all the same.
void TFindMeters::bAddAllClick()
{
    for (int i = 0; i < lvFound->topLevelItemCount(); ++i)
        if (QTreeWidgetItem* item = lvFound->topLevelItem(i); Addable(item))
            AddRow(item, item->data(ColAddress, NameRole).toString());
    FoundSelected();
}

bool TFindMeters::AddRow(QTreeWidgetItem* item, const QString& name)
{
    if (!host_.AddMeter || !host_.AddMeter(name, item->data(ColAddress, AddressRole).toInt()))
        return false;
    item->setData(ColAddress, InListRole, true);
    item->setText(ColRemark, QString("Kelvane meter, in the meter list as \"%1\"").arg(name));
    return true;
}

bool TFindMeters::Addable(const QTreeWidgetItem* item)
{
    return item->data(ColAddress, KelvaneRole).toBool() && !item->data(ColAddress, InListRole).toBool();
}

bool TFindMeters::AnyAddable() const
{
    for (int i = 0; i < lvFound->topLevelItemCount(); ++i)
        if (Addable(lvFound->topLevelItem(i)))
            return true;
    return false;
}

std::vector<int> TFindMeters::KnownAddresses() const
{
    return host_.KnownAddresses ? host_.KnownAddresses() : std::vector<int>{};
}

void TFindMeters::SetScanning(bool scanning)
{
    scanning_ = scanning;
    bScan->setEnabled(!scanning);
    bCancelScan->setEnabled(scanning);
    ebFirst->setEnabled(!scanning);
    ebLast->setEnabled(!scanning);
    FoundSelected();
}

// Escape and the close box cancel a scan under way; the window goes at once
// and the scan ends after its request under way.
void TFindMeters::reject()
{
    bCancelScanClick();
    QDialog::reject();
}

void TFindMeters::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FitToScreen(*this);
}

// The window manager would activate whatever window it likes next, or none.
void TFindMeters::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    if (QWidget* opener = parentWidget(); opener && !event->spontaneous())
        opener->window()->activateWindow();
}
