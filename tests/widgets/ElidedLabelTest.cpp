#include "ElidedLabel.h"

#include <QApplication>
#include <QHelpEvent>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

// A status panel shows what fits and ends it with "…"; hovering shows the
// whole text, and text() always gives it whole. A text that fits has no
// tooltip of its own.
TEST(ElidedLabel, WhatDoesNotFitIsMarkedAndHoverShowsItWhole)
{
    const QString whole = "Port Lost (reconnect the adapter, then choose it in the Port menu)";
    TElidedLabel label;
    label.setFixedWidth(label.fontMetrics().horizontalAdvance(whole) / 2);
    label.setText(whole);
    label.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&label));
    EXPECT_TRUE(label.Elided());
    EXPECT_EQ(label.text(), whole);

    auto hover = [&] {
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), label.mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(&label, &help);
    };
    hover();
    EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 5000));
    EXPECT_EQ(QToolTip::text(), whole);

    label.setText("COMM OK!");
    EXPECT_FALSE(label.Elided());
    hover();
    EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 5000));
}
