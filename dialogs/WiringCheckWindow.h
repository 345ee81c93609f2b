#pragma once

#include "WiringCheck.h"

#include <QDialog>

#include <functional>
#include <vector>

class QLabel;
class QTableWidget;
class TKelvane;

// "Wiring Check": judges the meter's connection from the register image of
// the latest poll, without traffic of its own. Each check shows pass,
// warning or fail, the values it used and what to do. While the window is
// open it judges again after every poll; after a failed poll it keeps the
// last results greyed and says that they are stale.
class TWiringCheckWindow : public QDialog {
    Q_OBJECT
public:
    using TMeterSource = std::function<const TKelvane*()>;

    explicit TWiringCheckWindow(TMeterSource meter, QWidget* parent = nullptr);

    // A read-all pass ended; ok when its last bank was read.
    void PassCompleted(bool ok);
    // Judges the register image as it is now.
    void Refresh();

    // The thresholds the window judges by.
    static const rWiringThresholds& Thresholds();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ColourNote();
    void ShowChecks(const std::vector<rWiringCheck>& checks);
    void ShowForcedAbsolute(uint16_t configWord);
    void ShowNotAvailable(const QString& why);

    TMeterSource meter_;
    QLabel* labState;
    QLabel* labAbsolute;
    QTableWidget* sgChecks;
    QLabel* labThresholds;
};
