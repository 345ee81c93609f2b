#pragma once

#include <QDialog>
#include <QString>

class QPlainTextEdit;
class QPushButton;

// "Text Viewer": shows a plain text that the user may read and copy. Escape
// closes it, also while the text area has the focus; closing only hides it.
class TTextView : public QDialog {
    Q_OBJECT
public:
    explicit TTextView(QWidget* parent = nullptr);

    void SetText(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Closes the window on Escape; true when it did.
    bool FormKeyPress(const QKeyEvent& event);
    void bSelectAllClick();

    QPlainTextEdit* Memo;
    QPushButton* bSelectAll;
};
