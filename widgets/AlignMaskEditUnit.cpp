#include "AlignMaskEditUnit.h"

#include <QFocusEvent>
#include <QKeyEvent>

TAlignMaskEdit::TAlignMaskEdit(QWidget* parent) : QLineEdit(parent)
{
    SetAlignment(Qt::AlignRight);
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

bool TAlignMaskEdit::event(QEvent* e)
{
    // Every change the user makes arrives as an event (a key, a paste, a
    // drop). While the text is unchanged, each event notes it, so the text
    // from just before the change is at hand when Escape asks for it.
    if (!isModified())
        programText_ = text();
    if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape)
        RevertUserChange();
    if (e->type() == QEvent::FocusOut) {
        // A context menu or another window taking the focus leaves the user
        // in the field; moving on to another control ends the change.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(e)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
            setModified(false);
    }
    return QLineEdit::event(e);
}
