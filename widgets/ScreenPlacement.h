#pragma once

class QWidget;

// Moves a window so that it stands in the middle of the screen it is on.
void CentreOnScreen(QWidget& window);
