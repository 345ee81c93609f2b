#include "MeterList.h"

#include "IniFile.h"
#include "MessageBoxes.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int AddressRole = Qt::UserRole;

} // namespace

TMeterList::TMeterList(QWidget& parent, QString metersFile) : QObject(&parent), metersFile_(std::move(metersFile))
{
    auto* column = new QVBoxLayout(&parent);
    column->setContentsMargins(3, 8, 3, 3);
    list_ = new QListWidget(&parent);
    list_->setObjectName("ListView");
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    column->addWidget(list_, 1);
    // Only a selection switches the meter: the list also moves its current
    // entry on its own (on focus, on a removal) with nothing selected.
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) {
                for (const QModelIndex& index : selected.indexes())
                    Select(list_->item(index.row()));
            });
    name_ = new QLineEdit(&parent);
    name_->setObjectName("ebName");
    address_ = new QLineEdit(&parent);
    address_->setObjectName("ebAddr");
    auto* nameLabel = new QLabel("&Name:", &parent);
    nameLabel->setBuddy(name_);
    auto* addressLabel = new QLabel("Modbus &ID:", &parent);
    addressLabel->setBuddy(address_);
    auto* add = new QPushButton("Add", &parent);
    add->setObjectName("bAdd");
    connect(add, &QPushButton::clicked, this, &TMeterList::AddClick);
    auto* remove = new QPushButton("Delete", &parent);
    remove->setObjectName("bDelete");
    connect(remove, &QPushButton::clicked, this, &TMeterList::DeleteClick);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(0);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    for (QWidget* widget : std::initializer_list<QWidget*>{nameLabel, name_, addressLabel, address_})
        column->addWidget(widget);
    column->addLayout(buttons);
}

void TMeterList::AddMeter(const QString& name, int address)
{
    auto* item = new QListWidgetItem(name, list_);
    item->setData(AddressRole, address);
}

void TMeterList::Load()
{
    const TIniFile ini(metersFile_);
    for (const QString& section : ini.Sections())
        AddMeter(section, ini.ReadInteger(section, "Address", 1));
    loaded_ = true;
}

void TMeterList::Save()
{
    if (!loaded_)
        return;
    TIniFile ini(metersFile_);
    for (const QString& section : ini.Sections())
        ini.EraseSection(section);
    for (int i = 0; i < list_->count(); ++i)
        ini.WriteInteger(list_->item(i)->text(), "Address", list_->item(i)->data(AddressRole).toInt());
    QString error;
    if (!ini.UpdateFile(&error))
        ShowMessageBox(list_->window(), QMessageBox::Warning, "Kelvane",
                       QString("The meter list could not be saved to %1: %2").arg(ini.FileName(), error));
}

void TMeterList::AddClick()
{
    bool ok = false;
    int address = address_->text().trimmed().toInt(&ok);
    if (!ok)
        address = 1;
    if (!AddNewMeter(name_->text(), address))
        return;
    name_->clear();
    address_->clear();
}

bool TMeterList::AddNewMeter(const QString& typedName, int address)
{
    QWidget* window = list_->window();
    if (address < 1 || address > 63) {
        ShowMessageBox(window, QMessageBox::Critical, "Kelvane", "Address must be between 1..63");
        return false;
    }
    // Meters.ini keeps one section per name, trimmed and matched without
    // regard to case: a name it cannot keep apart from another would be lost
    // when the list is saved.
    const QString name = typedName.trimmed();
    if (name.isEmpty()) {
        ShowMessageBox(window, QMessageBox::Warning, "Kelvane", "Enter a name for the meter.");
        return false;
    }
    for (int i = 0; i < list_->count(); ++i) {
        if (list_->item(i)->text().compare(name, Qt::CaseInsensitive) == 0) {
            ShowMessageBox(window, QMessageBox::Warning, "Kelvane",
                           QString("A meter named \"%1\" is already in the list. Give this one another name.")
                               .arg(name));
            return false;
        }
    }
    const QString listed = NameAt(address);
    if (!listed.isEmpty()) {
        ShowMessageBox(window, QMessageBox::Warning, "Kelvane",
                       QString("The meter \"%1\" has address %2 already. Give this one another address.")
                           .arg(listed)
                           .arg(address));
        return false;
    }
    AddMeter(name, address);
    return true;
}

std::vector<int> TMeterList::Addresses() const
{
    std::vector<int> addresses;
    for (int i = 0; i < list_->count(); ++i)
        addresses.push_back(list_->item(i)->data(AddressRole).toInt());
    return addresses;
}

int TMeterList::SelectedAddress() const
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : selected.first()->data(AddressRole).toInt();
}

QString TMeterList::NameAt(int address) const
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (!selected.isEmpty() && selected.first()->data(AddressRole).toInt() == address)
        return selected.first()->text();
    for (int i = 0; i < list_->count(); ++i)
        if (list_->item(i)->data(AddressRole).toInt() == address)
            return list_->item(i)->text();
    return {};
}

// Removes the selected meter and selects the one before it. With nothing
// selected there is nothing to remove.
void TMeterList::DeleteClick()
{
    const QList<QListWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty())
        return;
    const int row = list_->row(selected.first());
    // With no current entry the list selects no neighbour of its own when
    // the entry goes.
    list_->selectionModel()->clear();
    delete list_->takeItem(row);
    if (row > 0)
        list_->setCurrentRow(row - 1, QItemSelectionModel::ClearAndSelect);
}

void TMeterList::Select(QListWidgetItem* item)
{
    if (item)
        emit MeterSelected(item->text(), item->data(AddressRole).toInt());
}
