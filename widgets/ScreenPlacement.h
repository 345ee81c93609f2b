#pragma once

class QRect;
class QWidget;

// Moves a window so that it stands in the middle of the screen it is on.
void CentreOnScreen(QWidget& window);

// Keeps a top-level window, frame included, within the available area of
// its screen (the screen less its panels and docks): a window larger than
// the area is made smaller, never below its minimum size, and a window that
// reaches past an edge is moved back inside. Where even the minimum size
// does not fit, the window's top-left corner stays on the screen.
void FitToScreen(QWidget& window);
// The same within area, in the coordinates of the desktop.
void FitInto(QWidget& window, const QRect& area);
