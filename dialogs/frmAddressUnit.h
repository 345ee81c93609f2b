#pragma once

#include <QDialog>

#include <array>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// "Change / Check Address": holds the Modbus unit address that every request
// of the program goes to, as six binary-weighted check boxes (32 down to 1),
// and shows in labStatus whether the meter at that address answers. The
// boxes are the only copy of the address. Closing the dialog only hides it.
class TfrmAddress : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxAddress = 63;

    explicit TfrmAddress(QWidget* parent = nullptr);

    // The address the ticked boxes make up, 0..63.
    int GetAddress() const;
    // Ticks the boxes for an address of 1..63; any other value leaves them as
    // they are. The address text is refreshed in either case.
    void SetAddress(int address);
    // Whether the meter at the address answered the last pass ("COMM OK!",
    // "NO COMM"), and how its link has fared (requests, replies, timeouts
    // and so on) under it.
    void SetCommStatus(const QString& status);
    void SetStatistics(const QString& summary);

    // The controls, left to right; cbAdd32 stands for 32 and so on.
    QCheckBox* const cbAdd32;
    QCheckBox* const cbAdd16;
    QCheckBox* const cbAdd8;
    QCheckBox* const cbAdd4;
    QCheckBox* const cbAdd2;
    QCheckBox* const cbAdd1;
    QLineEdit* const ebAddress;
    // The communication status: "NO COMM" until the main window's read-all
    // pass reports otherwise.
    QLabel* const labStatus;
    QLabel* const labStatistics;
    QPushButton* const BitBtn1;

signals:
    // The address the boxes make up now, after every change.
    void AddressChanged(int address);

protected:
    void showEvent(QShowEvent* event) override;

private:
    static constexpr int BoxCount = 6;

    // The boxes from the highest bit down.
    std::array<QCheckBox*, BoxCount> Boxes() const;
    void BuildLayout();
    void cbAddClick();
    void FormShow();
};
