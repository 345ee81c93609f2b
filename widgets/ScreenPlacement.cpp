#include "ScreenPlacement.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace {

// The first position from lowest at which length fits before highest, or
// lowest when it does not fit at all.
int Inside(int position, int length, int lowest, int highest)
{
    return std::max(lowest, std::min(position, highest - length));
}

} // namespace

void CentreOnScreen(QWidget& window)
{
    const QScreen* screen = window.screen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    window.move(area.left() + area.width() / 2 - window.width() / 2,
                area.top() + area.height() / 2 - window.height() / 2);
}

void FitToScreen(QWidget& window)
{
    if (const QScreen* screen = window.screen())
        FitInto(window, screen->availableGeometry());
}

void FitInto(QWidget& window, const QRect& area)
{
    const QRect frame = window.frameGeometry();
    const QRect client = window.geometry();
    // What the window manager draws around the window takes room as well.
    const QMargins decoration(client.left() - frame.left(), client.top() - frame.top(),
                              frame.right() - client.right(), frame.bottom() - client.bottom());
    const QSize room = area.marginsRemoved(decoration).size();
    window.resize(window.size().boundedTo(room).expandedTo(window.minimumSize()));
    const QSize outer = window.size().grownBy(decoration);
    window.move(Inside(frame.left(), outer.width(), area.left(), area.left() + area.width()),
                Inside(frame.top(), outer.height(), area.top(), area.top() + area.height()));
}
