#pragma once

#include <QDialog>
#include <QString>

#include <array>

class QEvent;
class QFileDialog;
class QLineEdit;
class QPushButton;
class QTableWidget;
class TKelvane;

// "FactoryTest": compares a meter against a reference standard at one test
// point. For V, I, W, VA, VAR, PF and frequency the data grid shows the
// reference reading, the meter's phase A, B and C readings and each phase's
// percentage error; the info grid holds the identification of the meter
// ("Kelvane") and of the reference ("Radian"). "Log" appends both grids to a
// CSV file. Cells are addressed (column, row), row 0 and column 0 being the
// headings.
class TFactoryTest : public QDialog {
    Q_OBJECT
public:
    // The seven reference readings V, I, W, VA, VAR, PF, Freq.
    using TReference = std::array<long double, 7>;
    // The meter's phase A, B and C readings of V, I, W, VA, VAR and PF, then
    // its frequency.
    using TMeterReadings = std::array<long double, 19>;
    // The reference readings followed by the meter's readings.
    using TValues = std::array<long double, 26>;

    explicit TFactoryTest(QWidget* parent = nullptr);

    // Fills the whole data grid and clears the update request.
    void UpdateValues(const TValues& values);
    // The same, with the meter's readings taken from the meter link's image.
    void UpdateValues(const TReference& reference, const TKelvane& meter);
    // The meter's readings held in the floating-point block of the image, in
    // the word order that register 142 selects. Reads the image only.
    static TMeterReadings MeterReadings(const TKelvane& meter);

    // Identification texts of the reference instrument and of the meter.
    void UpdateInfo(const QString& referenceModel, const QString& referenceSerial,
                    const QString& referenceSoftware, const QString& meterSerial, const QString& meterSoftware);

    // 1 after "Update" was pressed, 0 once UpdateValues filled the grid.
    int UpdateTag() const { return updateTag_; }

    // (measured - standard) / standard in percent as "0.125%"; an empty text
    // when the standard is 0 or either value is not a number.
    static QString PercentError(long double standard, long double measured);

signals:
    // "Update" was pressed: whoever drives the sheet should deliver values.
    void UpdateRequested();

protected:
    void changeEvent(QEvent* event) override;

private:
    QLayout* CreateEdits();
    void CreateGrids();
    QLayout* CreateButtons();
    void WriteHeadings();
    void FormActivate();
    void UpdateClick();
    void ebWOModelChange();
    void FileOpenClick();
    void LogClick();
    // The lines that "Log" appends: a line with the date, time and the
    // test's fields, then both grids row by row, then an empty line.
    QString LogRecord() const;

    QLineEdit* ebFileName;
    QPushButton* FileOpen;
    QLineEdit* ebWOModel;
    QLineEdit* ebWOHW;
    QLineEdit* Edit1;
    QTableWidget* InfoGrid;
    QTableWidget* DataGrid;
    QLineEdit* Edit4;
    QLineEdit* Edit5;
    QPushButton* Update;
    QPushButton* Button1;
    QFileDialog* SaveDialog;
    int updateTag_ = 0;
};
