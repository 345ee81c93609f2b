#pragma once

#include "CommStatistics.h"
#include "LogFile.h"
#include "LogSettings.h"

#include <QDateTime>
#include <QDialog>
#include <QLocale>
#include <QString>

#include <array>
#include <functional>

class QCheckBox;
class QFileDialog;
class QGroupBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QToolButton;

// "Logging": the log file, the logging interval and the quantities to log.
// The settings live in section "Logging" of the settings file; they are
// loaded when the dialog is created and stored when OK or the close box
// closes it. Escape forgets what was changed since the dialog was shown.
// The dialog is modeless and only hidden when closed; the log timer reads
// the file name and the ticked quantities from it at every record.
class TLogging : public QDialog {
    Q_OBJECT
public:
    // settingsFile: the settings file's path; applicationDirectory: where the
    // default log file "log.csv" lives.
    TLogging(const QString& settingsFile, const QString& applicationDirectory, QWidget* parent = nullptr);

    // Appends one record of the meter, read at `time`, with the ticked
    // quantities of values to the meter's file (FileOf), and the header first
    // when the file is new; the result tells whether it was written, and why not.
    LogFile::TAppendResult WriteToLog(const TMeterKey& meter, const TLogValues& values, const QDateTime& time,
                                      const QLocale& locale = QLocale::system());

    // The file named in the dialog; no record goes to it, it names the
    // meters' files.
    QString FileName() const;
    // The file of the meter's records beside FileName(): LogFile::MeterFileName.
    QString FileOf(const TMeterKey& meter) const;
    // The interval typed in, in seconds: 60 unless it is an integer from 5 to 3600.
    int FrequencySeconds() const;
    // The entries to log: the ticked boxes, leaving out a change whose
    // question about the existing log file is still open.
    TLogSelection Selection() const;

    // The main window's handler that OK calls before the dialog closes, so
    // that the new interval takes effect.
    void SetMessageTarget(std::function<void()> handler);

    // The interval a text stands for: 60 unless it is an integer from 5 to 3600.
    static int LogFrequency(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The close box keeps what the dialog shows, as OK does, without OK's
    // call of the main window.
    void closeEvent(QCloseEvent* event) override;
    // Every way of closing the dialog ends here: accepted (OK, the close
    // box) stores the settings, rejected (Escape) puts back those shown
    // when the dialog opened.
    void done(int result) override;

private:
    void FormCreate();
    QLayout* CreateFileAndFrequency();
    QGroupBox* CreateGroup(const char* title, std::size_t first, std::size_t last);
    // The width a check box needs for the longest caption.
    int WidestCaption() const;
    QLayout* CreateToggles();
    void LoadSettings();
    // Fills the controls; the marks ask nothing while the dialog is hidden.
    void ShowSettings(const TLogSettings& settings);
    // The settings as the controls show them.
    TLogSettings ShownSettings() const;
    void FormShow();
    void FormClose();
    void BitBtn1Click();
    void SpeedButton1Click();
    // True when the key is dropped before it reaches the edit.
    bool FrequencyKeyPress(const QKeyEvent& key) const;
    void FrequencyExit();
    void cbToggleClick(int tag);
    void CheckBoxClick(std::size_t index, bool checked);
    // Runs the file chooser; on OK its choice becomes the log file.
    void ChooseLogFile();

    QString settingsFile_;
    QString applicationDirectory_;
    std::function<void()> messageTarget_;
    // Set while a box's previous mark is put back, so that the change asks nothing.
    std::array<bool, LogParameterCount> restoring_{};
    // The marks the records use: each box's mark once its change is settled.
    TLogSelection confirmed_{};
    // What the controls showed when the dialog opened, for Escape.
    TLogSettings opened_;

    QLineEdit* Filename;
    QToolButton* SpeedButton1;
    QLineEdit* Frequency;
    std::array<QCheckBox*, LogParameterCount> CB{};
    std::array<QCheckBox*, 3> cbToggle{};
    QPushButton* BitBtn1;
    QFileDialog* SaveDialog;
};
