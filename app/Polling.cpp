// Polling, the status bar's counters and the list of saved meters.

#include "main.h"

#include "DataLogger.h"
#include "FindMeters.h"
#include "IniFile.h"
#include "MessageBoxes.h"
#include "PortWatch.h"
#include "frmAddressUnit.h"
#include "frmComSelect.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>

namespace {

constexpr int AddressRole = Qt::UserRole;

QString MetersFile(const QString& directory)
{
    return QDir(directory).filePath("Meters.ini");
}

} // namespace

void TForm1::tPollingTimer()
{
    if (!cbPolling->isChecked() || passRunning_)
        return;
    // A tick that was already due when the "Port" menu put in a link that
    // did not open (its message box lets it through) has nothing to read.
    if (!kelvane_ || !kelvane_->Active()) {
        tPolling.stop();
        return;
    }
    // The next tick comes one interval after this pass ends. A pass that
    // raises leaves polling stopped until the "Port" menu restarts it, and
    // so does a link that became inactive during the pass (its serial port
    // went away): it has been reported once and would only fail again.
    tPolling.stop();
    const std::shared_ptr<TKelvane> polled = kelvane_;
    bReadRegsClick();
    const std::shared_ptr<TKelvane> link = kelvane_;
    if (!AppClosing && link && link->Active())
        tPolling.start();
    else if (!AppClosing && link == polled && link->Kind() == TLinkKind::Serial)
        portWatch_->Watch(link, dialogs_.ComSelect->PortText());
    logger_->PollCompleted();
}

// The lost adapter is back and its port open again: polling goes on.
void TForm1::PortBack()
{
    const QString text = QString("Serial port %1 is back: polling goes on.").arg(dialogs_.ComSelect->PortText());
    SetStatus(0, text);
    AddMemoLine(Memo, text);
    cbPollingClick();
}

// A link whose port did not open has been reported already; polling it would
// only fail once more. The "Port" menu starts polling with the next link.
void TForm1::cbPollingClick()
{
    if (cbPolling->isChecked() && kelvane_ && kelvane_->Active())
        tPolling.start();
    else
        tPolling.stop();
}

void TForm1::ebTimerChange()
{
    bool ok = false;
    const int interval = ebTimer->text().trimmed().toInt(&ok);
    tPolling.setInterval(ok ? interval : 500);
}

void TForm1::bRXTXClearClick()
{
    TX = 0;
    RX = 0;
    SetStatus(1, QString("TX: %1").arg(TX));
    SetStatus(2, QString("RX: %1").arg(RX));
}

void TForm1::AddMeter(const QString& name, int address)
{
    auto* item = new QListWidgetItem(name, ListView);
    item->setData(AddressRole, address);
}

void TForm1::MeterINI(bool save)
{
    TIniFile ini(MetersFile(paths_.Directory));
    if (save) {
        for (const QString& section : ini.Sections())
            ini.EraseSection(section);
        for (int i = 0; i < ListView->count(); ++i)
            ini.WriteInteger(ListView->item(i)->text(), "Address", ListView->item(i)->data(AddressRole).toInt());
    } else {
        for (const QString& section : ini.Sections())
            AddMeter(section, ini.ReadInteger(section, "Address", 1));
    }
    QString error;
    if (!ini.UpdateFile(&error))
        ShowMessageBox(this, QMessageBox::Warning, "Kelvane",
                       QString("The meter list could not be saved to %1: %2").arg(ini.FileName(), error));
}

void TForm1::bAddClick()
{
    bool ok = false;
    int address = ebAddr->text().trimmed().toInt(&ok);
    if (!ok)
        address = 1;
    if (!AddNewMeter(ebName->text(), address))
        return;
    ebName->clear();
    ebAddr->clear();
}

bool TForm1::AddNewMeter(const QString& typedName, int address)
{
    if (address < 1 || address > 63) {
        ShowMessageBox(this, QMessageBox::Critical, "Kelvane", "Address must be between 1..63");
        return false;
    }
    // Meters.ini keeps one section per name, trimmed and matched without
    // regard to case: a name it cannot keep apart from another would be lost
    // when the list is saved.
    const QString name = typedName.trimmed();
    if (name.isEmpty()) {
        ShowMessageBox(this, QMessageBox::Warning, "Kelvane", "Enter a name for the meter.");
        return false;
    }
    for (int i = 0; i < ListView->count(); ++i) {
        if (ListView->item(i)->text().compare(name, Qt::CaseInsensitive) == 0) {
            ShowMessageBox(this, QMessageBox::Warning, "Kelvane",
                           QString("A meter named \"%1\" is already in the list. Give this one another name.")
                               .arg(name));
            return false;
        }
    }
    AddMeter(name, address);
    return true;
}

// The window is made when first asked for. Its scan pauses polling and
// restarts it as the "Polling" box says.
void TForm1::FindMetersClick()
{
    auto* window = findChild<TFindMeters*>();
    if (!window) {
        TFindMeters::THost host{[this] { return kelvane_; }, &AppClosing, [this] { tPolling.stop(); },
                                [this] { cbPollingClick(); },
                                [this](const QString& name, int address) { return AddNewMeter(name, address); }};
        window = new TFindMeters(std::move(host), *dialogs_.ProgressDialog, this);
    }
    window->show();
    window->raise();
}

// Removes the selected meter and selects the one before it. With nothing
// selected there is nothing to remove.
void TForm1::bDeleteClick()
{
    const QList<QListWidgetItem*> selected = ListView->selectedItems();
    if (selected.isEmpty())
        return;
    const int row = ListView->row(selected.first());
    // With no current entry the list selects no neighbour of its own when
    // the entry goes.
    ListView->selectionModel()->clear();
    delete ListView->takeItem(row);
    if (row > 0)
        ListView->setCurrentRow(row - 1, QItemSelectionModel::ClearAndSelect);
}

void TForm1::ListViewSelectItem(QListWidgetItem* item)
{
    if (!item)
        return;
    pages_->DataReset();
    QWidget* page = nullptr;
    for (int i = 0; i < PageControl1->count(); ++i)
        if (PageControl1->widget(i)->objectName() == "TabFloat")
            page = PageControl1->widget(i);
    if (!page)
        return;
    const int address = item->data(AddressRole).toInt();
    PageControl1->setTabText(PageControl1->indexOf(page), QString("%1 (Addr: %2)").arg(item->text()).arg(address));
    dialogs_.frmAddress->SetAddress(address);
}
