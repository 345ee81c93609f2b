#pragma once

#include <QScrollArea>

// A scroll area that asks for room for all of its contents, with a scroll
// bar's width to spare: a window built around it is as large as its contents
// wherever the screen allows, and only a screen too small for them brings
// the scroll bars. (QScrollArea itself asks for no more than a few dozen
// lines of text.) The contents follow the area's size down to their minimum.
class TWholeScrollArea : public QScrollArea {
public:
    explicit TWholeScrollArea(QWidget* contents, QWidget* parent = nullptr);

    QSize sizeHint() const override;
};
