#include "AppHarness.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPalette>
#include <QImageReader>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLegend>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

using apptest::Poller;
using apptest::TAppHarness;
using apptest::rSimSetup;
using apptest::TInProcessSim;
using testsupport::MessageBoxRecorder;

namespace {

TDataField* FieldByCaption(TForm1& form, const QString& caption)
{
    for (TDataField* f : form.findChildren<TDataField*>())
        if (f->Caption() == caption)
            return f;
    return nullptr;
}

// Right-clicks the widget and chooses the entry from the context menu that
// opens.
bool ChooseFromContextMenu(QWidget& target, const QString& entry)
{
    bool chosen = false;
    QTimer picker;
    QObject::connect(&picker, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction* action : menu->actions()) {
            if (action->text() == entry) {
                menu->setActiveAction(action);
                QTest::keyClick(menu, Qt::Key_Return);
                chosen = true;
                return;
            }
        }
        menu->close();
    });
    picker.start(10);
    const QPoint at = target.rect().center();
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, target.mapToGlobal(at));
    QApplication::sendEvent(&target, &click);
    return chosen;
}

// The points the chart draws for a line: one list per piece of line, and
// the lone points apart.
struct rDrawn {
    std::vector<QList<QPointF>> Pieces;
    QList<QPointF> Dots;
};
rDrawn Drawn(const QChart& chart, const QString& caption)
{
    rDrawn drawn;
    for (QAbstractSeries* s : chart.series()) {
        if (s->name() != caption)
            continue;
        if (auto* dots = qobject_cast<QScatterSeries*>(s))
            drawn.Dots += dots->points();
        else if (auto* line = qobject_cast<QLineSeries*>(s); line && line->count() > 0)
            drawn.Pieces.push_back(line->points());
    }
    return drawn;
}

struct rPoll {
    bool Ok;
    std::optional<double> Volts;
    std::optional<double> Amps;
};

std::optional<double> ValueOf(const TDataField& field)
{
    return field.HasValue() ? std::optional<double>(field.Value) : std::nullopt;
}

QStringList ReadLines(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Whether the picture has a pixel of about that colour.
bool HasColour(const QImage& picture, const QColor& colour)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            if (std::abs(qRed(line[x]) - colour.red()) + std::abs(qGreen(line[x]) - colour.green())
                    + std::abs(qBlue(line[x]) - colour.blue())
                < 24)
                return true;
        }
    }
    return false;
}

constexpr const char* Volts = "V A-N (V)";
constexpr const char* Amps = "I A (A)";

// Clicks "Export CSV..." and answers the file dialog with the path: false
// when no dialog came.
bool ExportCsvThroughTheDialog(TTrendWindow& trend, const QString& path)
{
    testsupport::TFileDialogAnswer answer(trend, path);
    QTest::mouseClick(trend.findChild<QPushButton*>("bExportCsv"), Qt::LeftButton);
    return answer.answered;
}

QStringList VisibleLegendNames(const QChart& chart)
{
    QStringList names;
    for (QLegendMarker* marker : chart.legend()->markers())
        if (marker->isVisible())
            names << marker->label();
    return names;
}

// A line's name while the window polls the meter it started with: the
// device address alone, as no meter of the list is selected.
QString OfFirstMeter(const char* caption)
{
    return QString(caption) + " — Address 1";
}

} // namespace

// Two fields of different units go on the trend through their context menu;
// the polls draw their values, a poll while the meter is away leaves a gap
// in both lines, and the exported CSV and PNG hold what was drawn.
TEST(Trend, FieldsFollowThePollsWithAGapWhereThePollFailedAndExport)
{
    // The meters' clock and the trend's move on by half a minute per poll,
    // so that the values change from poll to poll and the points stand apart.
    auto seconds = std::make_shared<std::atomic<double>>(100.0);
    // The trend's clock runs ahead of the wall clock, by which the window
    // noted the meter it started with.
    const qint64 firstPoll = QDateTime::currentMSecsSinceEpoch() + 60'000;
    const rSimSetup setup{.Units = {1, 2}, .Clock = [seconds] { return seconds->load(); }};
    TAppHarness app;
    app.meter = std::make_unique<TInProcessSim>(setup);
    const uint16_t port = app.meter->Port();
    TForm1& form = app.Start();
    TTrendWindow& trend = app.windows->TrendWindow;
    trend.SetClock([&] { return firstPoll + static_cast<qint64>((*seconds - 130) * 1000); });
    TDataField* volts = FieldByCaption(form, Volts);
    TDataField* amps = FieldByCaption(form, Amps);
    ASSERT_TRUE(volts && amps);

    EXPECT_FALSE(trend.isVisible());
    ASSERT_TRUE(ChooseFromContextMenu(*volts->DataPanel(), "Add to Trend"));
    ASSERT_TRUE(ChooseFromContextMenu(*amps->DataPanel(), "Add to Trend"));
    ASSERT_TRUE(ChooseFromContextMenu(*volts->DataPanel(), "Add to Trend")); // already there
    EXPECT_TRUE(trend.isVisible());
    ASSERT_EQ(trend.Lines().size(), 2u);
    const auto axisTitles = [&] {
        QStringList titles;
        for (QAbstractAxis* axis : trend.Chart()->axes(Qt::Vertical))
            titles << axis->titleText();
        return titles;
    };
    EXPECT_EQ(axisTitles(), QStringList({"V", "A"}));

    std::vector<rPoll> polls;
    QObject::connect(&form, &TForm1::PassCompleted, &trend, [&](bool ok) {
        polls.push_back({ok, ValueOf(*volts), ValueOf(*amps)});
    });
    auto poll = [&] {
        *seconds = *seconds + 30;
        const std::size_t before = polls.size();
        Poller(form).ReadAll();
        return polls.size() == before + 1;
    };
    auto* span = trend.findChild<QComboBox*>("cbSpan");
    span->setCurrentIndex(span->findText("5 min"));
    EXPECT_EQ(trend.Span(), 5 * 60 * 1000);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(poll());
    {
        MessageBoxRecorder boxes;
        app.meter.reset(); // connection refused
        ASSERT_TRUE(poll());
        EXPECT_TRUE(boxes.shown.empty());
    }
    rSimSetup back = setup;
    back.Port = port;
    app.meter = std::make_unique<TInProcessSim>(back);
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(poll());

    const std::vector<bool> expectedOk = {true, true, true, false, true, true};
    ASSERT_EQ(polls.size(), expectedOk.size());
    for (std::size_t i = 0; i < polls.size(); ++i) {
        EXPECT_EQ(polls[i].Ok, expectedOk[i]) << "poll " << i;
        EXPECT_EQ(polls[i].Volts.has_value(), expectedOk[i]) << "poll " << i;
    }
    EXPECT_NE(*polls[0].Volts, *polls[1].Volts);
    EXPECT_NE(*polls[1].Amps, *polls[2].Amps);

    // Each line: the three values before the failed poll, a gap, the two
    // after it; no point stands for the failed poll.
    for (const auto& [caption, valueOf] :
         {std::pair{Volts, &rPoll::Volts}, std::pair{Amps, &rPoll::Amps}}) {
        SCOPED_TRACE(caption);
        const rDrawn drawn = Drawn(*trend.Chart(), OfFirstMeter(caption));
        ASSERT_EQ(drawn.Pieces.size(), 2u);
        EXPECT_TRUE(drawn.Dots.isEmpty());
        ASSERT_EQ(drawn.Pieces[0].size(), 3);
        ASSERT_EQ(drawn.Pieces[1].size(), 2);
        const int after[] = {0, 1, 2, 4, 5};
        for (int k = 0; k < 5; ++k) {
            const QPointF p = k < 3 ? drawn.Pieces[0][k] : drawn.Pieces[1][k - 3];
            EXPECT_EQ(p.y(), *(polls[static_cast<std::size_t>(after[k])].*valueOf)) << "point " << k;
            EXPECT_EQ(p.x(), static_cast<qreal>(firstPoll + 30'000 * after[k])) << "point " << k;
        }
    }

    // The CSV: a row per poll, the failed one with empty cells, values with
    // their fields' decimals.
    const QString csvPath = app.dir.filePath("trend.csv");
    ASSERT_TRUE(trend.ExportCsv(csvPath));
    const QStringList rows = ReadLines(csvPath);
    ASSERT_EQ(rows.size(), 7);
    EXPECT_EQ(rows[0], QString("Time,%1,%2").arg(OfFirstMeter(Volts), OfFirstMeter(Amps)));
    for (std::size_t i = 0; i < polls.size(); ++i) {
        const QStringList cells = rows[static_cast<int>(i) + 1].split(',');
        ASSERT_EQ(cells.size(), 3) << rows[static_cast<int>(i) + 1].toStdString();
        const QDateTime time = QDateTime::fromString(cells[0], "yyyy-MM-dd hh:mm:ss.zzz");
        EXPECT_EQ(time.toMSecsSinceEpoch(), firstPoll + 30'000 * static_cast<qint64>(i));
        if (!polls[i].Ok) {
            EXPECT_TRUE(cells[1].isEmpty() && cells[2].isEmpty());
            continue;
        }
        EXPECT_EQ(cells[1], QString::number(*polls[i].Volts, 'f', volts->Decimals));
        EXPECT_EQ(cells[2], QString::number(*polls[i].Amps, 'f', amps->Decimals));
    }

    // The legend names each field once, when the chart has laid it out.
    const auto legendNames = [&] {
        QStringList names;
        for (QLegendMarker* marker : trend.Chart()->legend()->markers())
            if (marker->isVisible())
                names << marker->label();
        return names;
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return legendNames() == QStringList({OfFirstMeter(Volts), OfFirstMeter(Amps)}); }, 10000))
        << legendNames().join("; ").toStdString();
    const QString pngPath = app.dir.filePath("trend.png");
    ASSERT_TRUE(trend.ExportPng(pngPath));
    QImageReader reader(pngPath);
    EXPECT_EQ(reader.format(), "png");
    const QImage picture = reader.read();
    EXPECT_FALSE(picture.isNull());
    EXPECT_GT(picture.width(), 200);
    for (const QAbstractSeries* s : trend.Chart()->series())
        EXPECT_TRUE(HasColour(picture, static_cast<const QXYSeries*>(s)->color())) << s->name().toStdString();
    EXPECT_TRUE(testsupport::SaveScreenshot(trend, "trend"));

    // Paused, the view stands still while the polls are still recorded;
    // cleared, nothing is left to draw or export.
    auto* pause = trend.findChild<QPushButton*>("bPause");
    QTest::mouseClick(pause, Qt::LeftButton);
    EXPECT_TRUE(trend.Paused());
    ASSERT_TRUE(poll());
    EXPECT_EQ(Drawn(*trend.Chart(), OfFirstMeter(Volts)).Pieces.back().size(), 2);
    QTest::mouseClick(pause, Qt::LeftButton);
    EXPECT_FALSE(trend.Paused());
    EXPECT_EQ(Drawn(*trend.Chart(), OfFirstMeter(Volts)).Pieces.back().size(), 3);
    QTest::mouseClick(trend.findChild<QPushButton*>("bClear"), Qt::LeftButton);
    EXPECT_TRUE(Drawn(*trend.Chart(), OfFirstMeter(Volts)).Pieces.empty());
    ASSERT_TRUE(trend.ExportCsv(csvPath));
    EXPECT_EQ(ReadLines(csvPath).size(), 1);

    // Taken off through the chart's context menu, a field leaves with its
    // value axis; the other field stays.
    ASSERT_TRUE(ChooseFromContextMenu(*trend.findChild<QChartView*>()->viewport(), QString("Remove ") + Volts));
    ASSERT_EQ(trend.Lines().size(), 1u);
    EXPECT_EQ(trend.Lines()[0]->Caption, Amps);
    EXPECT_EQ(axisTitles(), QStringList({"A"}));
    for (const QAbstractSeries* s : trend.Chart()->series())
        EXPECT_EQ(s->name(), OfFirstMeter(Amps));
    ASSERT_TRUE(poll());
    EXPECT_EQ(Drawn(*trend.Chart(), OfFirstMeter(Amps)).Dots.size(), 1);
}

// The polled meter changes from the pump house to the well and back: each
// field's points from each meter make their own line, named after the meter
// in the legend and the CSV, and no line joins points across a change, not
// even when the first meter comes back. The CSV, saved under a name without
// extension, gets ".csv" and writes each value with its field's decimals.
TEST(Trend, AMeterChangeStartsNewLinesNamedAfterTheMeter)
{
    auto seconds = std::make_shared<std::atomic<double>>(100.0);
    const qint64 firstPoll = QDateTime::currentMSecsSinceEpoch() + 60'000;
    TAppHarness app;
    app.meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1}, .Clock = [seconds] { return seconds->load(); }});
    TForm1& form = app.Start();
    TTrendWindow& trend = app.windows->TrendWindow;
    trend.SetClock([&] { return firstPoll + static_cast<qint64>((*seconds - 130) * 1000); });
    TDataField* volts = FieldByCaption(form, Volts);
    TDataField* amps = FieldByCaption(form, Amps);
    ASSERT_TRUE(volts && amps);
    ASSERT_TRUE(ChooseFromContextMenu(*volts->DataPanel(), "Add to Trend"));
    ASSERT_TRUE(ChooseFromContextMenu(*amps->DataPanel(), "Add to Trend"));

    std::vector<rPoll> polls;
    QObject::connect(&form, &TForm1::PassCompleted, &trend,
                     [&](bool ok) { polls.push_back({ok, ValueOf(*volts), ValueOf(*amps)}); });
    const QString pump = "Pump house (1)";
    const QString well = "Well (2)";
    const QString meterOfPoll[] = {pump, pump, well, well, pump, pump};
    for (const QString& meter : meterOfPoll) {
        trend.SetMeter(meter);
        *seconds = *seconds + 30;
        Poller(form).ReadAll();
    }
    ASSERT_EQ(polls.size(), 6u);
    for (const rPoll& p : polls)
        ASSERT_TRUE(p.Ok && p.Volts && p.Amps);

    const auto name = [](const char* caption, const QString& meter) { return QString(caption) + " — " + meter; };
    struct Row {
        QString line;
        std::optional<double> rPoll::*value;
        std::vector<std::vector<int>> pieces; // the polls each piece of line joins
    };
    const Row rows[] = {{name(Volts, pump), &rPoll::Volts, {{0, 1}, {4, 5}}},
                        {name(Amps, pump), &rPoll::Amps, {{0, 1}, {4, 5}}},
                        {name(Volts, well), &rPoll::Volts, {{2, 3}}},
                        {name(Amps, well), &rPoll::Amps, {{2, 3}}}};
    QStringList names;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line.toStdString());
        names << r.line;
        const rDrawn drawn = Drawn(*trend.Chart(), r.line);
        EXPECT_TRUE(drawn.Dots.isEmpty());
        ASSERT_EQ(drawn.Pieces.size(), r.pieces.size());
        for (std::size_t k = 0; k < r.pieces.size(); ++k) {
            ASSERT_EQ(drawn.Pieces[k].size(), static_cast<qsizetype>(r.pieces[k].size()));
            for (std::size_t j = 0; j < r.pieces[k].size(); ++j) {
                const int poll = r.pieces[k][j];
                EXPECT_EQ(drawn.Pieces[k][static_cast<qsizetype>(j)],
                          QPointF(static_cast<qreal>(firstPoll + 30'000 * poll),
                                  *(polls[static_cast<std::size_t>(poll)].*r.value)));
            }
        }
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return VisibleLegendNames(*trend.Chart()) == names; }, 10000))
        << VisibleLegendNames(*trend.Chart()).join("; ").toStdString();
    QSet<QRgb> colours;
    for (const auto& line : trend.Lines())
        if (names.contains(line->Name()))
            colours.insert(line->Color.rgb());
    EXPECT_EQ(colours.size(), 4);
    EXPECT_TRUE(testsupport::SaveScreenshot(trend, "trend-two-meters"));

    ASSERT_TRUE(ExportCsvThroughTheDialog(trend, app.dir.filePath("two meters")));
    EXPECT_FALSE(QFileInfo::exists(app.dir.filePath("two meters")));
    const QStringList csv = ReadLines(app.dir.filePath("two meters.csv"));
    ASSERT_EQ(csv.size(), 7);
    EXPECT_EQ(csv[0], "Time," + names.join(','));
    for (std::size_t i = 0; i < polls.size(); ++i) {
        SCOPED_TRACE(i);
        const QStringList cells = csv[static_cast<int>(i) + 1].split(',');
        ASSERT_EQ(cells.size(), 5);
        const bool atPump = meterOfPoll[i] == pump;
        const QString v = QString::number(*polls[i].Volts, 'f', 1); // the page's decimals
        const QString a = QString::number(*polls[i].Amps, 'f', 3);
        EXPECT_EQ(cells.mid(1), atPump ? QStringList({v, a, "", ""}) : QStringList({"", "", v, a}));
    }

    // The same name again, after one more poll: the file is replaced only
    // when the user says so.
    *seconds = *seconds + 30;
    Poller(form).ReadAll();
    for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        MessageBoxRecorder boxes(answer);
        ASSERT_TRUE(ExportCsvThroughTheDialog(trend, app.dir.filePath("two meters")));
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text,
                  app.dir.filePath("two meters.csv") + " already exists.\nDo you want to replace it?");
        EXPECT_EQ(ReadLines(app.dir.filePath("two meters.csv")).size(), answer == QMessageBox::Yes ? 8 : 7);
    }
}

// Under a dark palette the chart is dark with light texts and grid, and
// each line stands out from it; back under a light palette, so is the chart.
TEST(Trend, TheChartFollowsTheApplicationsPalette)
{
    const QPalette light = QApplication::palette();
    QPalette dark;
    for (const auto& [role, colour] : {std::pair{QPalette::Window, QColor(0x35, 0x35, 0x35)},
                                       {QPalette::Base, QColor(0x23, 0x23, 0x23)},
                                       {QPalette::Text, QColor(0xe8, 0xe8, 0xe8)},
                                       {QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8)},
                                       {QPalette::Mid, QColor(0x50, 0x50, 0x50)}})
        dark.setColor(role, colour);

    TTrendWindow trend;
    TDataField volts;
    volts.SetCaption(Volts);
    TDataField amps;
    amps.SetCaption(Amps);
    trend.AddField(&volts);
    trend.AddField(&amps);
    QChart& chart = *trend.Chart();
    const auto backgroundLightness = [&] { return chart.backgroundBrush().color().lightness(); };
    const auto textsLightness = [&] {
        int least = 255;
        for (QAbstractAxis* axis : chart.axes())
            least = std::min({least, axis->labelsColor().lightness(), axis->titleBrush().color().lightness()});
        return std::min(least, chart.legend()->labelColor().lightness());
    };
    EXPECT_GT(backgroundLightness(), 200);
    EXPECT_LT(chart.legend()->labelColor().lightness(), 100);

    QApplication::setPalette(dark);
    const bool darkened = QTest::qWaitFor([&] { return backgroundLightness() < 60; }, 10000);
    const int darkBackground = backgroundLightness();
    const int texts = textsLightness();
    std::vector<int> lineContrast;
    for (const QAbstractSeries* s : chart.series()) {
        const QColor c = static_cast<const QXYSeries*>(s)->color();
        const QColor b = chart.backgroundBrush().color();
        lineContrast.push_back(std::abs(c.red() - b.red()) + std::abs(c.green() - b.green())
                               + std::abs(c.blue() - b.blue()));
    }
    int gridLightness = 255;
    for (QAbstractAxis* axis : chart.axes())
        gridLightness = std::min(gridLightness, axis->gridLineColor().lightness());
    EXPECT_TRUE(testsupport::SaveScreenshot(trend, "trend-dark"));
    QApplication::setPalette(light);
    const bool lightened = QTest::qWaitFor([&] { return backgroundLightness() > 200; }, 10000);

    EXPECT_TRUE(darkened) << backgroundLightness();
    EXPECT_GT(texts, 180);
    EXPECT_GT(gridLightness, darkBackground + 20);
    ASSERT_FALSE(lineContrast.empty());
    for (int contrast : lineContrast)
        EXPECT_GT(contrast, 120);
    EXPECT_TRUE(lightened);
    EXPECT_LT(textsLightness(), 100);
}
