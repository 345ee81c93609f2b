#pragma once

// Whether a shown window fits its screen: the window, frame included, lies
// within the screen's available area, the controls that must stay in sight
// are wholly shown, and all of a scrolled body can be scrolled into sight.
// The body's scroll bars may come after a layout pass, so the check waits
// for them (with a generous deadline) before it fails.
//
// Tests that call it also run, as tests of their own, on a 1600x1000 screen
// at twice the scale (800x500 to the program): the offscreen platform reads
// that screen from screen-1600x1000-at-2x.json beside this file (see the
// test folders' CMakeLists).

#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <initializer_list>

namespace testsupport {

inline QString RectText(const QRect& r)
{
    return QString("%1x%2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

inline ::testing::AssertionResult FitsItsScreen(const QWidget& window, std::initializer_list<const QWidget*> inSight,
                                                const QScrollArea& body)
{
    const QRect area = window.screen()->availableGeometry();
    if (!area.contains(window.frameGeometry()))
        return ::testing::AssertionFailure() << "the window " << RectText(window.frameGeometry()).toStdString()
                                             << " is not within the screen " << RectText(area).toStdString();
    for (const QWidget* control : inSight) {
        const QRect shown(control->mapTo(&window, QPoint(0, 0)), control->size());
        if (!control->isVisible() || !window.rect().contains(shown) ||
            control->visibleRegion().boundingRect() != control->rect())
            return ::testing::AssertionFailure() << control->objectName().toStdString() << " is not wholly in sight";
    }
    const QWidget* contents = body.widget();
    const auto reachable = [](const QScrollBar* bar, int hidden) {
        return hidden <= 0 || (bar->isVisible() && bar->maximum() >= hidden);
    };
    const auto allReachable = [&] {
        return reachable(body.verticalScrollBar(), contents->height() - body.viewport()->height()) &&
               reachable(body.horizontalScrollBar(), contents->width() - body.viewport()->width());
    };
    if (contents->height() < contents->minimumSizeHint().height() ||
        contents->width() < contents->minimumSizeHint().width() || !QTest::qWaitFor(allReachable, 5000))
        return ::testing::AssertionFailure() << "part of the body " << RectText(contents->rect()).toStdString()
                                             << " cannot be scrolled into sight in the view "
                                             << RectText(body.viewport()->rect()).toStdString();
    return ::testing::AssertionSuccess();
}

} // namespace testsupport
