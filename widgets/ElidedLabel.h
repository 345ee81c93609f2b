#pragma once

#include <QLabel>

// A label of fixed width, such as a status bar panel, that never shows a
// text cut off mid-word without saying so: what does not fit ends in "…",
// and hovering shows the whole text. text() is always the whole text.
class TElidedLabel : public QLabel {
public:
    using QLabel::QLabel;

    // Whether the whole text does not fit the label's width.
    bool Elided() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};
