#pragma once

#include "TrendSeries.h"

#include <QColor>
#include <QDialog>
#include <QLocale>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <memory>
#include <vector>

class QAbstractAxis;
class QAction;
class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QIODevice;
class QLineSeries;
class QPushButton;
class QScatterSeries;
class QValueAxis;
class TDataField;

// "Trend": the recent values of chosen data fields as lines over time. The
// window takes one point per field from every poll of the main window, so
// it causes no traffic of its own; a poll without value leaves a gap. Fields
// of one unit (the text in brackets at the end of the caption) share a value
// axis. The view covers a span up to a day ending now and moves on with the
// clock; pausing freezes the view while the points are still recorded.
//
// Each line is one field's values from one meter: the points taken after the
// polled meter changes start a new line, named "<caption> — <meter>" in the
// legend and the CSV export, and a line never joins points from either side
// of a change, even when the same meter comes back. The chart takes its
// background, text and grid colours from the window's palette.
class TTrendWindow : public QDialog {
    Q_OBJECT
public:
    explicit TTrendWindow(QWidget* parent = nullptr);
    ~TTrendWindow() override;

    // One trended field's values from one meter: their history and the chart
    // series that draw them.
    struct rTrendLine {
        QPointer<TDataField> Field;
        QString Caption;
        QString Meter; // empty until the window is told the meter
        QString Unit;
        int Decimals = 2; // the field's, for the CSV export
        QColor Color;
        TTrendSeries Series;
        QValueAxis* Axis = nullptr;
        std::vector<QLineSeries*> Segments; // the first one stands in the legend
        QScatterSeries* Dots = nullptr;     // points without a neighbour to join
        QAction* Remove = nullptr;          // the chart's context menu entry, on a field's first line

        // The caption, and the meter when there is one.
        QString Name() const;
    };

    // Puts the field on the chart (once) and shows the window.
    void AddField(TDataField* field);
    // Takes the field and its history off the chart, every meter's, and its
    // unit's value axis with the last field of that unit.
    void RemoveField(const TDataField* field);
    // Records one point per field, on its line for the meter of the moment:
    // its value after a poll that read the meter (ok), else a gap.
    void TakePoints(bool ok);

    void SetSpan(int64_t spanMs);
    int64_t Span() const { return spanMs_; }
    void SetPaused(bool paused);
    bool Paused() const { return paused_; }
    // Forgets every recorded point; the fields stay on the chart.
    void Clear();

    // The polls of the span in view that are kept one by one, a row per poll
    // time and a column per line, headed by its name, each value with its
    // field's decimals and an empty cell for a poll without value. The
    // locale gives the decimal separator; the list separator is ";" where
    // that is ",", else ",". A path without extension gets ".csv". Reports a
    // file it cannot write.
    bool ExportCsv(const QString& path);
    // The chart as it is shown; a path without extension gets ".png".
    bool ExportPng(const QString& path);
    void SetLocale(const QLocale& locale) { locale_ = locale; }
    // The clock that stamps the points, in ms since the epoch (the wall
    // clock unless set).
    void SetClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

    const std::vector<std::unique_ptr<rTrendLine>>& Lines() const { return lines_; }
    QChart* Chart() const { return chart_; }
    // The unit of a data field: the text in the caption's closing brackets.
    static QString UnitOf(const QString& caption);

public slots:
    // The meter that the following polls read, as the main window names it
    // (its name in the list and its address, "Pump house (3)").
    void SetMeter(const QString& meter);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    rTrendLine& NewLine(TDataField* field);
    // The field's line for the meter of the moment, made on first use.
    rTrendLine& LineFor(TDataField* field);
    // Whether the legend and the CSV export name the line: it holds points,
    // or the next poll feeds it. A line made before the meter changed and
    // never fed is not named.
    bool Listed(const rTrendLine& line) const;
    // The fields on the chart, each once, in the order they came.
    std::vector<TDataField*> Fields() const;
    void ApplyPalette();
    void ApplyPalette(QAbstractAxis& axis) const;
    void Redraw();
    // Draws what the line has in the span; the extremes of what it drew.
    std::optional<std::pair<double, double>> RedrawLine(rTrendLine& line, int64_t fromMs, int64_t toMs);
    QValueAxis* AxisFor(const QString& unit);
    QLineSeries* Segment(rTrendLine& line, std::size_t index);
    QString CsvText(int64_t fromMs, int64_t toMs) const;
    bool WriteFile(const QString& path, const std::function<bool(QIODevice&)>& write);
    int64_t ViewEnd() const;
    void bPauseClick(bool checked);
    QString ChooseExportPath(const QString& caption, const QString& filter, const QString& extension);
    void bExportCsvClick();
    void bExportPngClick();

    QChart* chart_;
    QChartView* chartView;
    QDateTimeAxis* timeAxis_;
    QComboBox* cbSpan;
    QPushButton* bPause;
    QPushButton* bClear;
    QPushButton* bExportCsv;
    QPushButton* bExportPng;
    QTimer tScroll;
    std::vector<std::unique_ptr<rTrendLine>> lines_;
    std::map<QString, QValueAxis*> axes_;
    int64_t spanMs_ = 10 * 60 * 1000;
    bool paused_ = false;
    int64_t pausedAtMs_ = 0;
    QLocale locale_;
    std::function<int64_t()> clock_;
    QString meter_;
    // When the meter changed, ascending, for the last day: the lines are cut
    // there.
    std::vector<int64_t> meterChanges_;
};
