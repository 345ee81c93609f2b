#pragma once

#include <QLineEdit>

// A one-line edit with a chosen text alignment (right unless set) that can
// take back the user's unfinished change: Escape returns the text to what
// it was before the user began changing it. Leaving the field (Tab, a click
// elsewhere) keeps what was typed and ends the change.
class TAlignMaskEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TAlignMaskEdit(QWidget* parent = nullptr);

    Qt::Alignment Alignment() const { return alignment() & Qt::AlignHorizontal_Mask; }
    void SetAlignment(Qt::Alignment alignment);

    // Puts back the text from before the user's change, if there is one.
    void RevertUserChange();

protected:
    bool event(QEvent* e) override;

private:
    QString programText_;
};
