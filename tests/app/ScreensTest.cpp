// The main window and the dialogs a technician reaches from it, on the
// screen as it is and (as a test of its own) on a 1600x1000 screen at twice
// the scale: each fits the screen's free area with its buttons in sight, in
// the desktop's palette and in a dark one. Screenshots of each go to the
// build tree's screenshots/ to be looked at.

#include "AppHarness.h"
#include "ScreenFit.h"
#include "WiringCheckWindow.h"

#include <QApplication>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>

#include <gtest/gtest.h>

using apptest::Find;
using apptest::TAppHarness;
using apptest::Poller;

namespace {

QPalette DarkPalette()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::AlternateBase, QColor(50, 50, 54));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Button, QColor(55, 55, 60));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::ToolTipBase, QColor(30, 30, 30));
    dark.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(60, 110, 180));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    return dark;
}

// The window, frame included, within the screen's free area, and each
// control wholly in sight in it.
::testing::AssertionResult Fits(const QWidget& window, std::initializer_list<const QWidget*> inSight)
{
    const QRect area = window.screen()->availableGeometry();
    if (!area.contains(window.frameGeometry()))
        return ::testing::AssertionFailure() << window.windowTitle().toStdString() << " "
                                             << testsupport::RectText(window.frameGeometry()).toStdString()
                                             << " is not within " << testsupport::RectText(area).toStdString();
    for (const QWidget* control : inSight)
        if (!control || !control->isVisible() || control->visibleRegion().boundingRect() != control->rect())
            return ::testing::AssertionFailure() << (control ? control->objectName().toStdString() : "(none)")
                                                 << " of " << window.windowTitle().toStdString()
                                                 << " is not wholly in sight";
    return ::testing::AssertionSuccess();
}

QPushButton* Button(QWidget& window, const QString& text)
{
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->text().remove('&') == text)
            return button;
    return nullptr;
}

} // namespace

TEST(AppScreens, TheWindowsFitTheScreenInTheDesktopsPaletteAndADarkOne)
{
    const QPalette desktop = QApplication::palette();
    TAppHarness app;
    TForm1& form = app.Start();
    const QString scale = QString("%1x").arg(form.devicePixelRatio());
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "desktop");
        QApplication::setPalette(dark ? DarkPalette() : desktop);
        const QString suffix = "-" + scale + (dark ? "-dark" : "");
        Poller(form).Poll();
        EXPECT_TRUE(Fits(form, {form.menuBar(), form.statusBar(), Find<QWidget>(form, "PageControl1")}));
        testsupport::SaveScreenshot(form, "main" + suffix);

        TComSelect& port = *form.Dialogs().ComSelect;
        port.show();
        EXPECT_TRUE(Fits(port, {port.BitBtn1, port.bCancel}));
        testsupport::SaveScreenshot(port, "port" + suffix);
        port.reject();

        TConfigWord& config = *form.Dialogs().ConfigWord;
        config.show();
        EXPECT_TRUE(Fits(config, {Button(config, "OK"), Button(config, "Apply")}));
        testsupport::SaveScreenshot(config, "config-word" + suffix);
        config.hide();

        for (QAction* menu : form.menuBar()->actions())
            if (menu->menu())
                for (QAction* item : menu->menu()->actions())
                    if (QStringList{"Wiring Check", "Trend"}.contains(item->text().remove('&')))
                        item->trigger();
        auto* wiring = form.findChild<TWiringCheckWindow*>();
        ASSERT_NE(wiring, nullptr);
        Poller(form).Poll();
        EXPECT_TRUE(Fits(*wiring, {}));
        testsupport::SaveScreenshot(*wiring, "wiring-check" + suffix);
        wiring->hide();
        EXPECT_TRUE(Fits(*Find<QWidget>(form, "TrendWindow"), {Find<QWidget>(form, "bExportPng")}));
        Find<QWidget>(form, "TrendWindow")->hide();
    }
    QApplication::setPalette(desktop);
}
