#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

// A small window that stays on top with a caption line and a progress bar,
// for a job of a known number of steps. Closing it only hides it.
class TProgressDialog : public QDialog {
    Q_OBJECT
public:
    explicit TProgressDialog(QWidget* parent = nullptr);

    // Shows the window, non-modal, with text as its caption line and an empty
    // bar that counts to maximum (at least 1) in steps of 1.
    void Start(const QString& text, int maximum);
    // Moves the bar to position, kept within the bar's range, and repaints at
    // once; nothing happens when the bar is already there.
    void SetPosition(int position);
    // Advances the bar by one step, stopping at the maximum, and repaints at
    // once.
    void Step();
    int Position() const;

    QLabel* const Label1;
    QProgressBar* const Progress;
    // Hidden unless a caller shows it; closing the window hides it again.
    QPushButton* const bClose;

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void FormClose();
    void bCloseClick();

    int step_ = 1;
};
