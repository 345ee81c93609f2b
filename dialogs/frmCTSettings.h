#pragma once

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTableWidget;

// "Confirm CT Settings": the current-transformer parameters of a setup file,
// for the user to check. The values are plain texts that nothing reads yet.
class TCTSettings : public QDialog {
    Q_OBJECT
public:
    explicit TCTSettings(QWidget* parent = nullptr);

private:
    QWidget* CreateParameters();
    QWidget* CreateGain();
    QWidget* CreateSettings();
    void CreateGrid();
    void FormCreate();

    QLineEdit* ebRatio;
    QLineEdit* ebPhase;
    QButtonGroup* rgGain;
    QComboBox* cbFreq;
    QLineEdit* ebRadianMult;
    QPushButton* bSave;
    QPushButton* Button1;
    QTableWidget* Grid;
};
