#include "ScreenPlacement.h"

#include <QScreen>
#include <QWidget>

void CentreOnScreen(QWidget& window)
{
    const QScreen* screen = window.screen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    window.move(area.left() + area.width() / 2 - window.width() / 2,
                area.top() + area.height() / 2 - window.height() / 2);
}
