#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class TKelvane;
class TProgressDialog;
struct TScanFinding;

// "Find Meters": asks every address of a range on the current link whether a
// Kelvane meter answers there, lists what answered, and adds the meters
// found to the meter list, one or all at once; a meter whose address the
// list already has is marked and not added again. While it asks, polling
// pauses and the progress dialog shows how far it got; Cancel there or here
// stops it after the request under way. The device address and the meter
// list's selection are never touched by the scan. When the window closes,
// the window it was opened from is active again, so that the keyboard goes
// on where it was.
class TFindMeters : public QDialog {
    Q_OBJECT
public:
    // What the window needs from the main window.
    struct THost {
        // The meter link of the moment (nothing when there is none).
        std::function<std::shared_ptr<TKelvane>()> Link;
        // The program's closing flag, the abort flag of every request.
        const bool* AppClosing = nullptr;
        std::function<void()> PausePolling;
        std::function<void()> ResumePolling;
        // Adds a meter to the meter list under the list's own rules; false
        // when they refuse it (the refusal has been shown).
        std::function<bool(const QString& name, int address)> AddMeter;
        // The addresses of the meters in the meter list (none when not given).
        std::function<std::vector<int>()> KnownAddresses;
    };

    // The range that can be asked; the meter itself takes addresses up to
    // DefaultLastAddress, where a scan stops unless told otherwise.
    static constexpr int LowestAddress = 1;
    static constexpr int HighestAddress = 247;
    static constexpr int DefaultLastAddress = 63;

    TFindMeters(THost host, TProgressDialog& progress, QWidget* parent = nullptr);

    void bScanClick();
    void bCancelScanClick();
    void bAddMeterClick();
    void bAddAllClick();
    bool Scanning() const { return scanning_; }

    QLineEdit* const ebFirst;
    QLineEdit* const ebLast;
    QPushButton* const bScan;
    QPushButton* const bCancelScan;
    QTreeWidget* const lvFound;
    QLineEdit* const ebMeterName;
    QPushButton* const bAddMeter;
    QPushButton* const bAddAll;
    QLabel* const labScan;

protected:
    void reject() override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool ReadRange(int& first, int& last);
    void Scan(TKelvane& link, int first, int last);
    bool NextAddress(int first, int address);
    void AddFinding(const TScanFinding& finding);
    void FoundSelected();
    void SetScanning(bool scanning);
    // Adds the row's meter to the meter list under name; true when the list took it.
    bool AddRow(QTreeWidgetItem* item, const QString& name);
    // The row's meter may be added: a Kelvane meter not in the list yet.
    static bool Addable(const QTreeWidgetItem* item);
    bool AnyAddable() const;
    std::vector<int> KnownAddresses() const;

    THost host_;
    TProgressDialog& progress_;
    bool scanning_ = false;
    bool cancel_ = false;
    bool startPending_ = false;
};
