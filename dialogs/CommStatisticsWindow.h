#pragma once

#include <QDialog>

class QTableWidget;
class TCommStatistics;

// "Communication Statistics": a row per meter with every count of its link,
// and its last and slowest round trip in ms, kept up to date while the
// window is open. "Reset" zeroes the counts of every meter. The window is
// not modal; Escape closes it. The statistics outlive the window.
class TCommStatisticsWindow : public QDialog {
    Q_OBJECT
public:
    explicit TCommStatisticsWindow(TCommStatistics& statistics, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Refresh();

    TCommStatistics& statistics_;
    QTableWidget* sgMeters;
};
