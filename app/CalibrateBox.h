#pragma once

#include "DataPages.h"

#include <QGroupBox>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

// "Calibration": the factory's box under the data pages, hidden in the
// field: the register write box that the data fields' clicks fill, the
// read-all button and polling switch, the phase edit, the function 17 box,
// and the port and folder choosers. Like a form's generated controls, its
// controls are there for the main window's commands to read and set.
class TCalibrateBox : public QGroupBox, public TRegisterWriteBox {
    Q_OBJECT
public:
    // directory: where the settings file that "Edit" opens lives.
    TCalibrateBox(QString directory, QWidget* parent);

    // Lists the machine's serial ports but the one in use, and "Manual".
    void ListPorts(const QString& inUse);

    void SetRegisterText(const QString& text) override;
    QString RegisterText() const override;
    void SetValueText(const QString& text) override;
    void SelectDecimal() override;

    QLineEdit* ebRead = nullptr;
    QLineEdit* ebWriteValue = nullptr;
    QRadioButton* rbHex = nullptr;
    QRadioButton* rbDec = nullptr;
    QCheckBox* cb32bit = nullptr;
    QPushButton* bWriteSend = nullptr;
    QPushButton* bReadRegs = nullptr;
    QCheckBox* cbPolling = nullptr;
    QLineEdit* ebTimer = nullptr;
    QLineEdit* ebPhase = nullptr;
    QCheckBox* cbDevid = nullptr;
    QPushButton* bFunc17 = nullptr;
    QPushButton* bF17Clear = nullptr;
    QPlainTextEdit* memoF17 = nullptr;
    QComboBox* cbCOMPORT = nullptr;
    QLabel* labDirectory = nullptr;
    QPushButton* bEdit = nullptr;
    QPushButton* bLogData = nullptr;

signals:
    // The polling interval typed into its box, in ms (500 when it is no
    // number).
    void IntervalTyped(int ms);

private:
    void BuildWriteBox();
    void BuildDevidBox(class QGridLayout& grid);
    void ChooseDirectory();
    static void Beep3();

    QString directory_;
};
