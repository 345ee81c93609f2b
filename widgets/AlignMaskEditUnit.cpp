#include "AlignMaskEditUnit.h"

#include <QKeyEvent>

TAlignMaskEdit::TAlignMaskEdit(QWidget* parent) : QLineEdit(parent)
{
    SetAlignment(Qt::AlignRight);
    // The program's own setText never marks the edit modified; the user's
    // typing does. So a change while unmodified is a program-set text.
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!isModified())
            programText_ = text;
    });
}

void TAlignMaskEdit::SetAlignment(Qt::Alignment alignment)
{
    setAlignment((alignment & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
}

void TAlignMaskEdit::RevertUserChange()
{
    if (isModified()) {
        setText(programText_);
        setModified(false);
    }
}

// Tab never reaches keyPressEvent (focus navigation takes it first), so the
// key is caught here, before the edit's own handling runs.
bool TAlignMaskEdit::event(QEvent* e)
{
    if (e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Escape)
            RevertUserChange();
    }
    return QLineEdit::event(e);
}
