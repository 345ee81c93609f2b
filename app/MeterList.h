#pragma once

#include <QObject>
#include <QString>

#include <vector>

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QWidget;

// The list of saved meters beside the data pages: a name and a Modbus
// address each, kept in Meters.ini, added by name and address or from Find
// Meters, removed with "Delete". Selecting one switches the polled meter.
class TMeterList : public QObject {
    Q_OBJECT
public:
    // Builds the list and its controls in parent, at the window's left.
    TMeterList(QWidget& parent, QString metersFile);

    // Reads the list from Meters.ini, or writes it there; a file it cannot
    // write is reported. A list never read is never written: the window
    // closed early in its start (by a stop signal) would save it empty.
    void Load();
    void Save();

    // Adds a meter unless its address or name is refused (the refusal is
    // shown): each meter of the list has an address and a name of its own.
    bool AddNewMeter(const QString& name, int address);
    std::vector<int> Addresses() const;
    // The selected meter's address, or -1 with none selected.
    int SelectedAddress() const;
    // The name of the meter at address: the selected one when it has that
    // address, else the first listed there; empty when none is.
    QString NameAt(int address) const;

signals:
    void MeterSelected(const QString& name, int address);

private:
    void AddMeter(const QString& name, int address);
    void AddClick();
    void DeleteClick();
    void Select(QListWidgetItem* item);

    QString metersFile_;
    QListWidget* list_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* address_ = nullptr;
    bool loaded_ = false;
};
