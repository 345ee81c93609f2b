#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <cstdint>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;

// "Modbus Data Display": a running trace of the raw Modbus traffic of the
// read-all passes. Closing it only hides it; the trace keeps growing while it
// is hidden, and "Freeze" holds it still only while the window is showing.
class TModbusData : public QDialog {
    Q_OBJECT
public:
    // The trace keeps this many lines (whole transactions) and drops the
    // oldest beyond it, so that a session polling for days cannot exhaust
    // memory.
    static constexpr int MaxTraceLines = 4 * 25000;

    explicit TModbusData(QWidget* parent = nullptr);

    // The trace lines of a request and a response frame.
    static QString QueryLine(const QByteArray& frame);
    static QString ResponseLine(const QByteArray& frame);

    // True while the window is showing with "Freeze" ticked: new transactions
    // are then left out of the trace.
    bool Frozen() const;
    // Adds the four lines of one transaction (request, response, result text
    // and a rule), unless the trace is frozen.
    void AddTransaction(const QByteArray& query, const QByteArray& response, int32_t result);
    // Adds one line of its own to the trace (a write the meter refused),
    // unless the trace is frozen.
    void AddNote(const QString& line);

private:
    QPlainTextEdit* Memo;
    QCheckBox* cbFreeze;
    QPushButton* Copy;
    QPushButton* Clear;

    void CopyClick();
    void ClearClick();
};
