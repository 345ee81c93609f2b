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

// The main window's side of data logging: the "Logging" menu's "Enabled"
// entry, the log timer that writes one record per interval from the meter
// link's register image, and the interval handed over by the logging dialog.
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
    // line to the main window's message memo. mainWindow: parent of the
    // warning box.
    TDataLogger(TLogging& dialog, QAction& loggingEnabled, TMeterSource meter, TMessageSink addMessage,
                QWidget* mainWindow);

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

private:
    void WarnWriteFailed();

    TLogging& dialog_;
    QAction& LoggingEnabled;
    // Read-only use of the image, never a meter operation: see TMeterSource.
    TMeterSource meter_;
    TMessageSink addMessage_;
    QWidget* mainWindow_;
    QTimer logTimer_;
    bool firstLogPending_ = true;
    // A failure warning is waiting to be shown or open: later ticks keep
    // trying but add no second box.
    bool warningOpen_ = false;
};
