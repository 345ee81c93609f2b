#pragma once

#include "LogFile.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QAction;
class QWidget;
class TIniFile;
class TKelvane;
class TLogging;

// What the main window shows of logging.
struct TLogState {
    // The check mark of "Enabled".
    bool On = false;
    // The log file the next record goes to.
    QString File;
    // Records written to File since the program started or File was chosen.
    qint64 Records = 0;
    // Why the latest record could not be written to File; empty while
    // writing works.
    QString LastFailure;

    bool operator==(const TLogState&) const = default;
};

// The main window's side of data logging: the "Logging" menu's "Enabled"
// entry, the log timer that writes one record per interval from the meter
// link's register image, the interval handed over by the logging dialog,
// and the state of logging for the main window to show.
//
// A record that cannot be written is reported once, when writing starts to
// fail, as a message line naming the file and the reason; the ticks go on
// trying without a word until a record is written again, which is reported
// once as well. No box is shown: nothing waits for a click while the meter
// is polled and logged.
class TDataLogger : public QObject {
    Q_OBJECT
public:
    // The meter link of the moment, as a raw pointer: the "Port" menu may
    // replace the link, and the pointer is good only until the caller next
    // lets events run. A record therefore only reads the link's register
    // image and never calls an operation that waits for the meter (a wait
    // processes events, inside which the link may be destroyed). Code that
    // waits on the link holds its own shared reference instead.
    using TMeterSource = std::function<TKelvane*()>;
    using TMessageSink = std::function<void(const QString&)>;

    // dialog: the logging dialog. loggingEnabled: the checkable menu entry
    // whose check mark is the on/off state; its triggering is wired here.
    // meter: the current meter link, asked at every record since the link is
    // replaced at run time (nullptr while there is none). addMessage: adds a
    // line to the main window's message memo.
    TDataLogger(TLogging& dialog, QAction& loggingEnabled, TMeterSource meter, TMessageSink addMessage);

    // Toggles the check mark of "Enabled" and applies it.
    void LoggingEnabledClick();
    // Captions the entry "Enabled" while its mark is on and "Enable" while it
    // is off, and runs the log timer exactly while the mark is on.
    void LoggingChange();
    // Sets the log interval; a value outside 5 to 3600 seconds becomes 60.
    void SetLogTimer(int seconds);
    // A tick of the log timer: one record when logging is on.
    void LoggingTimer();
    // Writes one record from the register image. With the engineering
    // panel's "Log" button (named "bLogData") as sender, the phase powers are
    // taken from the integer registers, scaled by the PT and CT ratios.
    void DoLogging(QObject* sender);
    // The logging dialog's OK: the interval typed there takes effect.
    void OnMyMessage();
    // Shows the logging dialog without blocking the main window.
    void Configure1Click();
    // Called by the polling tick after each read-all pass: the first pass
    // after start-up writes a record at once when logging is on.
    void PollCompleted();

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
    // writing failed or works again, another file chosen.
    void StateChanged(const TLogState& state);

private:
    // Counts from zero for a file other than the one counted so far.
    void FollowFile(const QString& file);
    void NoteWritten();
    void NoteFailed(const LogFile::TAppendResult& result);
    // Emits StateChanged when the state differs from the one last emitted.
    void PublishState();

    TLogging& dialog_;
    QAction& LoggingEnabled;
    // Read-only use of the image, never a meter operation: see TMeterSource.
    TMeterSource meter_;
    TMessageSink addMessage_;
    QTimer logTimer_;
    bool firstLogPending_ = true;
    // The file that records_ and failure_ are about.
    QString file_;
    qint64 records_ = 0;
    // Set from the first record that fails until one is written again.
    bool failing_ = false;
    QString failure_;
    TLogState published_;
};
