#pragma once

#include "RegisterBanksFile.h"

#include <QWidget>

#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

// The General page: the window's log, the traffic of the last pass, and the
// register banks of RegisterBanks.ini with a box each to take part in the
// pass and its first and last register. The user never sees the page, but
// the program keeps writing to it.
class TGeneralTab : public QWidget {
    Q_OBJECT
public:
    explicit TGeneralTab(QWidget* parent);

    // Reads the banks from the file and makes their controls.
    void LoadBanks(const QString& banksFile);
    // The banks as their controls set them now.
    std::vector<TRegisterBankEntry> Banks() const;

    void AddLogLine(const QString& line);
    void AddTrafficLine(const QString& line);
    void ClearTraffic();
    // Whether each try's frames go to the traffic log too.
    bool ShowData() const;

signals:
    // The setup file's label was double-clicked.
    void SetupFileClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct rBankControls {
        QCheckBox* Active = nullptr;
        QLineEdit* Start = nullptr;
        QLineEdit* End = nullptr;
    };
    QLineEdit* MakeRegisterEdit(int left, int top, int value);

    QPlainTextEdit* memo_ = nullptr;
    QPlainTextEdit* traffic_ = nullptr;
    QCheckBox* showData_ = nullptr;
    QLabel* setupFile_ = nullptr;
    std::vector<TRegisterBankEntry> banks_;
    std::vector<rBankControls> bankControls_;
};
