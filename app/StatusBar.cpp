#include "StatusBar.h"

#include "DataLogger.h"
#include "ElidedLabel.h"
#include "Exchange.h"
#include "MeterResult.h"

#include <QFileInfo>

#include <QPushButton>
#include <QStatusBar>

TStatusBar::TStatusBar(QStatusBar& bar) : QObject(&bar), bar_(bar)
{
    status_ = AddPanel("Status", 12, 1);
    link_ = AddPanel("Link", 8);
    meter_ = AddPanel("Meter", 6);
    communication_ = AddPanel("Communication", 6);
    logging_ = AddPanel("Logging", 6);
    txLabel_ = AddPanel("TX", 5);
    rxLabel_ = AddPanel("RX", 5);
    refusedLabel_ = AddPanel("Refused", 5);
    refusedLabel_->setToolTip("Reads the program refused without sending them: to unit 0 where that is a "
                              "broadcast, of more than 125 registers, or of a register out of range");
    clear_ = new QPushButton("Clear", &bar_);
    clear_->setObjectName("bRXTXClear");
    clear_->setToolTip("Sets the TX, RX and refusal counts back to 0");
    bar_.addPermanentWidget(clear_);
    bar_.setSizeGripEnabled(false);
    connect(clear_, &QPushButton::clicked, this, [this] {
        tx_ = 0;
        rx_ = 0;
        refused_ = 0;
        ShowCounts();
    });
    ShowCounts();
    ShowLogging({});
}

// A panel takes the width of its text where the window has room and gives
// way down to a few characters of the bar's font where it has not, so that
// the window fits a small screen; what does not fit is elided.
// Only the status line gives way to a message the window shows for a while
// (the writes the meter refused); the other panels stay.
TElidedLabel* TStatusBar::AddPanel(const char* name, int widthChars, int stretch)
{
    auto* panel = new TElidedLabel(&bar_);
    panel->setObjectName(name);
    panel->setMinimumWidth(panel->fontMetrics().averageCharWidth() * widthChars);
    if (stretch > 0)
        bar_.addWidget(panel, stretch);
    else
        bar_.addPermanentWidget(panel);
    return panel;
}

void TStatusBar::SetStatus(const QString& text)
{
    status_->setText(text);
}

QString TStatusBar::Status() const
{
    return status_->text();
}

void TStatusBar::SetLink(const QString& text)
{
    link_->setText(text);
}

void TStatusBar::SetMeter(const QString& text)
{
    meter_->setText(text);
}

void TStatusBar::SetCommunication(const QString& glance, const QString& summary)
{
    communication_->setText(glance);
    communication_->setToolTip(summary);
}

void TStatusBar::ShowLogging(const TLogState& state)
{
    const QString file = QFileInfo(state.File).fileName();
    const bool failing = state.On && !state.LastFailure.isEmpty();
    if (!state.On)
        logging_->setText("Logging off");
    else if (state.File.isEmpty())
        logging_->setText("Logging: no meter read yet");
    else if (failing)
        logging_->setText("Logging FAILS: " + file);
    else
        logging_->setText(QString("Logging: %1, %2 records").arg(file).arg(state.Records));
    QString details = !state.On ? QString("Logging is off (Logging menu, Enable)")
                      : state.File.isEmpty()
                          ? QString("Each meter's records go to a file of its own, named after the meter")
                          : QString("Logging this meter to %1\n%2 records written").arg(state.File).arg(state.Records);
    if (!state.LastFailure.isEmpty())
        details += "\nLast failure: " + state.LastFailure;
    logging_->setToolTip(details);
    logging_->setForegroundRole(failing ? QPalette::HighlightedText : QPalette::WindowText);
    logging_->setBackgroundRole(failing ? QPalette::Highlight : QPalette::Window);
    logging_->setAutoFillBackground(failing);
}

void TStatusBar::ShowMessage(const QString& text, int ms)
{
    bar_.showMessage(text, ms);
}

// A frame heard and thrown away has no time of sending. An exchange whose
// wait ended with no record of its frames (a timeout, a closed or lost port)
// counts as the one request it was sent as; one the program refused counts
// as a refusal only.
void TStatusBar::NoteExchange(const TExchange& exchange)
{
    bool recorded = false;
    for (const TAttempt& attempt : exchange.Attempts) {
        if (attempt.SentAt == 0)
            continue;
        recorded = true;
        ++tx_;
        if (attempt.Result == 0)
            ++rx_;
    }
    const int32_t result = exchange.Result;
    if (result == MeterResult::ReadFromBroadcast || result == MeterResult::InvalidCount
        || result == MeterResult::RegisterOutOfRange)
        ++refused_;
    else if (!recorded)
        ++tx_;
    ShowCounts();
}

void TStatusBar::ShowCounts()
{
    txLabel_->setText(QString("TX: %1").arg(tx_));
    rxLabel_->setText(QString("RX: %1").arg(rx_));
    refusedLabel_->setText(QString("Refused: %1").arg(refused_));
    refusedLabel_->setVisible(refused_ > 0);
}
