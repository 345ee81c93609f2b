// The Wiring Check window's verdicts and its note about values forced
// absolute, as they are drawn in a light and in a dark application palette:
// the text must stand out from its background (a contrast ratio of at least
// 4.5:1).

#include "KelvaneCOM.h"
#include "SimHarness.h"
#include "WiringCheck.h"
#include "WiringCheckWindow.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QStyle>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace {

constexpr int ResultColumn = 1;

double Linear(double channel)
{
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double Luminance(QRgb rgb)
{
    return 0.2126 * Linear(qRed(rgb) / 255.0) + 0.7152 * Linear(qGreen(rgb) / 255.0) +
           0.0722 * Linear(qBlue(rgb) / 255.0);
}

double Contrast(QRgb a, QRgb b)
{
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The contrast of the text in a cell's picture: the commonest colour is the
// background, and the pixel furthest from it the core of the letters.
double TextContrast(const QImage& cell)
{
    std::map<QRgb, int> counts;
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x)
            ++counts[cell.pixel(x, y)];
    const QRgb background =
        std::max_element(counts.begin(), counts.end(), [](auto a, auto b) { return a.second < b.second; })->first;
    double best = 1;
    for (const auto& [rgb, count] : counts)
        best = std::max(best, Contrast(rgb, background));
    return best;
}

QPalette DarkPalette()
{
    QPalette dark;
    const QColor window(0x35, 0x35, 0x35);
    const QColor base(0x24, 0x24, 0x24);
    for (const auto& [role, colour] : {std::pair{QPalette::Window, window}, {QPalette::Base, base},
                                       {QPalette::AlternateBase, window}, {QPalette::Button, window}})
        dark.setColor(role, colour);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(role, QColor(0xF0, 0xF0, 0xF0));
    return dark;
}

// Puts back the application's palette however the test ends.
class TPaletteGuard {
public:
    TPaletteGuard() : saved_(QApplication::palette()) {}
    ~TPaletteGuard() { QApplication::setPalette(saved_); }
    TPaletteGuard(const TPaletteGuard&) = delete;
    TPaletteGuard& operator=(const TPaletteGuard&) = delete;

private:
    QPalette saved_;
};

} // namespace

TEST(WiringCheckPalette, VerdictsAndTheNoteStandOutFromTheirBackgroundInLightAndDarkPalettes)
{
    // A CT of phase C that carries nothing, and the factory configuration
    // word: the checks come out as PASS, WARNING and FAIL.
    simharness::TInProcessSim sim({.Units = {1}, .Wiring = TWiring::NoCurrentL3});
    sim.SetRegister(1, 142, 0);
    TKelvane link("127.0.0.1", true);
    link.SetTcpPort(sim.Port());
    const bool abort = false;
    ASSERT_EQ(link.ReadRegisters(1, 3, 128, 162, abort), 0);
    ASSERT_EQ(link.ReadRegisters(1, 3, 768, 887, abort), 0);

    const TPaletteGuard guard;
    const struct {
        const char* name;
        QPalette palette;
    } cases[] = {{"Light", QApplication::style()->standardPalette()}, {"Dark", DarkPalette()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QApplication::setPalette(c.palette);
        TWiringCheckWindow window([&] { return &link; });
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        const auto* table = window.findChild<QTableWidget*>("sgChecks");
        ASSERT_GT(table->rowCount(), 0);
        const QImage shown = window.grab().toImage();
        std::set<QString> verdicts;
        for (int row = 0; row < table->rowCount(); ++row) {
            const QTableWidgetItem* item = table->item(row, ResultColumn);
            verdicts.insert(item->text());
            // The cell without the grid line at its right and bottom edge.
            const QRect cell = table->visualItemRect(item).adjusted(1, 1, -2, -2);
            const QImage picture = shown.copy(cell.translated(table->viewport()->mapTo(&window, QPoint(0, 0))));
            EXPECT_GE(TextContrast(picture), 4.5) << item->text().toStdString() << " in row " << row;
        }
        EXPECT_EQ(verdicts, (std::set<QString>{"PASS", "WARNING", "FAIL"}));

        // A configuration word that forces the real power absolute brings the note.
        sim.SetRegister(1, 142, WiringCheck::ForceWAbsolute);
        ASSERT_EQ(link.ReadRegisters(1, 3, 128, 162, abort), 0);
        window.Refresh();
        const auto* note = window.findChild<QLabel*>("labAbsolute");
        ASSERT_TRUE(QTest::qWaitFor([&] { return note->isVisible(); }, 5000));
        const QImage noteShown = window.grab().toImage().copy(QRect(note->mapTo(&window, QPoint(0, 0)), note->size()));
        EXPECT_GE(TextContrast(noteShown), 4.5) << note->text().toStdString();
        sim.SetRegister(1, 142, 0);
        ASSERT_EQ(link.ReadRegisters(1, 3, 128, 162, abort), 0);
    }
}
