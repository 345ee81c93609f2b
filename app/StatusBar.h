#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

class QLabel;
class QPushButton;
class QStatusBar;
class TElidedLabel;
struct TExchange;
struct TLogState;

// The main window's status bar: what the last operation did, the link and
// the meter being polled, the frames sent and answered, how the meter's
// link fares and whether logging writes. Every panel that may not fit
// shows "…" and its whole text on hover.
class TStatusBar : public QObject {
    Q_OBJECT
public:
    explicit TStatusBar(QStatusBar& bar);

    // The status line: the last bank read, a connection's change, a refusal.
    void SetStatus(const QString& text);
    QString Status() const;
    // "Modbus/TCP 192.168.1.5:502", "RTU /dev/ttyUSB0 19200 baud", ...
    void SetLink(const QString& text);
    // The meter polled: its name in the list and its address.
    void SetMeter(const QString& text);
    // The link's counts at a glance, with the whole summary on hover.
    void SetCommunication(const QString& glance, const QString& summary);
    // Whether logging is on, to which file (that of the meter read last),
    // how many records it wrote and its last failure, which stands out
    // until writing works again.
    void ShowLogging(const TLogState& state);

    // A message that covers the status line for ms milliseconds.
    void ShowMessage(const QString& text, int ms);

    // Counts a read's frames: TX each request sent, RX each answered with
    // data; a read the program refused before sending counts as a refusal.
    void NoteExchange(const TExchange& exchange);

private:
    TElidedLabel* AddPanel(const char* name, int widthChars, int stretch = 0);
    void ShowCounts();

    QStatusBar& bar_;
    TElidedLabel* status_ = nullptr;
    TElidedLabel* link_ = nullptr;
    TElidedLabel* meter_ = nullptr;
    TElidedLabel* communication_ = nullptr;
    TElidedLabel* logging_ = nullptr;
    QLabel* txLabel_ = nullptr;
    QLabel* rxLabel_ = nullptr;
    QLabel* refusedLabel_ = nullptr;
    QPushButton* clear_ = nullptr;
    uint32_t tx_ = 0;
    uint32_t rx_ = 0;
    uint32_t refused_ = 0;
};
