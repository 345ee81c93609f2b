#include "WholeScrollArea.h"

#include <QScrollBar>

TWholeScrollArea::TWholeScrollArea(QWidget* contents, QWidget* parent) : QScrollArea(parent)
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setWidget(contents);
}

QSize TWholeScrollArea::sizeHint() const
{
    const int frame = 2 * frameWidth();
    return widget()->sizeHint() + QSize(frame + verticalScrollBar()->sizeHint().width(), frame);
}
