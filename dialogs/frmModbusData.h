#pragma once

#include "Exchange.h"
#include "MeterResult.h"

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <cstdint>

class QCheckBox;
class QPushButton;
class TTraceModel;
class TTraceView;

// "Modbus Data Display": a running trace of the raw Modbus traffic of the
// read-all passes. Closing it only hides it; the trace keeps growing while it
// is hidden, and "Freeze" holds it still only while the window is showing.
// The trace keeps the latest exchanges in a bounded ring (TTraceModel) and
// renders text only for the lines in view (TTraceView), for a copy and for a
// save.
class TModbusData : public QDialog {
    Q_OBJECT
public:
    explicit TModbusData(QWidget* parent = nullptr);

    // The trace lines of a request and a response frame.
    static QString QueryLine(const QByteArray& frame);
    static QString ResponseLine(const QByteArray& frame);

    // True while the window is showing with "Freeze" ticked: new transactions
    // are then left out of the trace.
    bool Frozen() const;
    // Adds one exchange (request, response, result, and when the request went
    // out and its round trip), unless the trace is frozen.
    void AddTransaction(const TExchange& exchange);
    // Adds one line of its own to the trace (a write the meter refused),
    // unless the trace is frozen. It counts as a failure.
    void AddNote(const QString& line);

    // Every line shown ("Failed only" honoured), each ended by a line break.
    QString TraceText() const;
    // Writes TraceText to the file at path: false with error set when that
    // fails.
    bool SaveTrace(const QString& path, QString& error) const;

private:
    TTraceModel* Trace;
    TTraceView* Memo;
    QCheckBox* cbFreeze;
    QCheckBox* cbFailedOnly;
    QPushButton* Copy;
    QPushButton* Save;
    QPushButton* Clear;
    QString saveDirectory_;

    void CopyClick();
    void SaveClick();
    void ClearClick();
};
