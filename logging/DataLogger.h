#pragma once

#include "CommStatistics.h"
#include "LogFile.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class QAction;
class QWidget;
class TIniFile;
class TKelvane;
class TLogging;

// What the main window shows of logging.
struct TLogState {
    // The check mark of "Enabled".
    bool On = false;
    // The file of the meter that the latest completed pass read: where its
    // records go, beside the file named in the logging dialog. Empty until
    // a pass has completed.
    QString File;
    // Records written to File since the program started.
    qint64 Records = 0;
    // Why the latest record could not be written to File; empty while
    // writing works.
    QString LastFailure;

    bool operator==(const TLogState&) const = default;
};

// The main window's side of data logging: the "Logging" menu's "Enabled"
// entry, the log timer, the interval handed over by the logging dialog, and
// the state of logging for the main window to show.
//
// A record is one meter's, from one completed pass: the window hands over
// every pass that tried all its banks, with the meter it read, and a
// record is taken from the register image only then. A tick of the log timer
// makes a record due, and the next completed pass writes it; a tick inside a
// pass (a pass lets events run while it waits) thus never logs an image
// that is half this pass and half the last, or half one meter and half
// another. Each meter's records go to a file of its own beside the file
// named in the dialog (LogFile::MeterFileName), so that no file mixes meters.
//
// A record that cannot be written is reported once, when writing to its file
// starts to fail, as a message line naming the file and the reason; the
// records go on trying without a word until one is written again, which is
// reported once as well. No box is shown: nothing waits for a click while
// the meter is polled and logged.
class TDataLogger : public QObject {
    Q_OBJECT
public:
    using TMessageSink = std::function<void(const QString&)>;

    // dialog: the logging dialog. loggingEnabled: the checkable menu entry
    // whose check mark is the on/off state; its triggering is wired here.
    // addMessage: adds a line to the main window's message memo.
    TDataLogger(TLogging& dialog, QAction& loggingEnabled, TMessageSink addMessage);

    // Toggles the check mark of "Enabled" and applies it.
    void LoggingEnabledClick();
    // Captions the entry "Enabled" while its mark is on and "Enable" while it
    // is off, and runs the log timer exactly while the mark is on.
    void LoggingChange();
    // Sets the log interval; a value outside 5 to 3600 seconds becomes 60.
    void SetLogTimer(int seconds);
    // A tick of the log timer: with logging on, a record is due for the next
    // completed pass. A tick that finds the last one still due says once that
    // no pass completed in the interval, so nothing was read to log.
    void LoggingTimer();
    // Writes the record of the latest completed pass to its meter's file,
    // stamped with the time of that pass. With the engineering panel's "Log"
    // button (named "bLogData") as sender, the phase powers are taken from
    // the integer registers, scaled by the PT and CT ratios. Before any pass
    // has completed there is nothing to log, which is said.
    void DoLogging(QObject* sender);
    // The logging dialog's OK: the interval typed there takes effect.
    void OnMyMessage();
    // Shows the logging dialog without blocking the main window.
    void Configure1Click();
    // Called by the window right after every pass that tried all its banks
    // (none after a pass stopped early), before anything else lets events
    // run: meter is the meter that pass read, whose Name in the meter list
    // (empty for an address that is not listed) and Address name its file;
    // link is the link the pass read. The pass's record is taken from the
    // link's image and written when one is due, or when it is the first pass
    // after start-up.
    void PassCompleted(const TMeterKey& meter, const TKelvane& link);

    // "Enabled" and "Frequency" of section "Logging", applied at start-up.
    void LoadSettings(const TIniFile& ini);
    // "Enabled" of section "Logging", stored when the main window closes.
    void StoreSettings(TIniFile& ini) const;

    const QTimer& LogTimer() const { return logTimer_; }
    // The log timer itself, for a shorter interval than the dialog allows.
    QTimer& LogTimer() { return logTimer_; }
    bool FirstLogPending() const { return firstLogPending_; }

    TLogState State() const;

signals:
    // The state has changed: logging switched on or off, a record written,
    // writing failed or works again, another file chosen or another meter read.
    void StateChanged(const TLogState& state);

private:
    // One completed pass, as it is logged.
    struct TPassRecord {
        TMeterKey Meter;
        QDateTime Time;
        TLogValues Values;
        // The "Log" button's values: the phase powers scaled.
        TLogValues ScaledValues;
    };
    // How writing to one file fares.
    struct TFileTally {
        qint64 Records = 0;
        // Set from the first record that fails until one is written again.
        bool Failing = false;
        QString Failure;
    };

    void WriteRecord(const TPassRecord& pass, const TLogValues& values);
    void NoteWritten(const QString& file);
    void NoteFailed(const QString& file, const LogFile::TAppendResult& result);
    // Emits StateChanged when the state differs from the one last emitted.
    void PublishState();

    TLogging& dialog_;
    QAction& LoggingEnabled;
    TMessageSink addMessage_;
    QTimer logTimer_;
    bool firstLogPending_ = true;
    // A tick asked for a record that no completed pass has written yet.
    bool recordDue_ = false;
    // Said once while ticks find no completed pass.
    bool nothingReadSaid_ = false;
    std::optional<TPassRecord> lastPass_;
    // Keyed by file path.
    QHash<QString, TFileTally> tallies_;
    TLogState published_;
};
