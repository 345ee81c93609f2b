#pragma once

#include <QLineEdit>

// A one-line edit with a chosen text alignment (right unless set) that
// forgets the user's unfinished change when Tab or Escape reaches it: the
// text goes back to what the program last set.
class TAlignMaskEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TAlignMaskEdit(QWidget* parent = nullptr);

    Qt::Alignment Alignment() const { return alignment() & Qt::AlignHorizontal_Mask; }
    void SetAlignment(Qt::Alignment alignment);

protected:
    bool event(QEvent* e) override;

private:
    void RevertUserChange();

    QString programText_;
};
