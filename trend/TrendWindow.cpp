#include "TrendWindow.h"

#include "DataFieldUnit.h"
#include "FileDialogs.h"
#include "MessageBoxes.h"
#include "ScreenPlacement.h"

#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t MinuteMs = 60 * 1000;
constexpr int64_t HourMs = 60 * MinuteMs;

struct rSpanChoice {
    const char* Text;
    int64_t Ms;
};
constexpr rSpanChoice SpanChoices[] = {
    {"1 min", MinuteMs},   {"5 min", 5 * MinuteMs}, {"10 min", 10 * MinuteMs}, {"30 min", 30 * MinuteMs},
    {"1 h", HourMs},       {"6 h", 6 * HourMs},     {"12 h", 12 * HourMs},     {"24 h", 24 * HourMs},
};

// Colours that stay apart from each other, and from a light or a dark
// background.
const QColor LineColors[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                             QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                             QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf)};

void HideFromLegend(QChart& chart, QAbstractSeries* series)
{
    for (QLegendMarker* marker : chart.legend()->markers(series))
        marker->setVisible(false);
}

// The path, with the extension added when its file name has none.
QString WithExtension(const QString& path, const QString& extension)
{
    return QFileInfo(path).suffix().isEmpty() ? path + '.' + extension : path;
}

// The colour a fraction of the way from one colour to another.
QColor Mix(const QColor& from, const QColor& to, double fraction)
{
    return QColor::fromRgbF(static_cast<float>(from.redF() + (to.redF() - from.redF()) * fraction),
                            static_cast<float>(from.greenF() + (to.greenF() - from.greenF()) * fraction),
                            static_cast<float>(from.blueF() + (to.blueF() - from.blueF()) * fraction));
}

QString CsvCell(const QString& text, const QString& separator)
{
    if (!text.contains(separator) && !text.contains('"') && !text.contains('\n'))
        return text;
    return '"' + QString(text).replace("\"", "\"\"") + '"';
}

} // namespace

TTrendWindow::TTrendWindow(QWidget* parent)
    : QDialog(parent)
    , chart_(new QChart)
    , chartView(new QChartView(chart_, this))
    , timeAxis_(new QDateTimeAxis)
    , cbSpan(new QComboBox(this))
    , bPause(new QPushButton("Pause", this))
    , bClear(new QPushButton("Clear", this))
    , bExportCsv(new QPushButton("Export CSV...", this))
    , bExportPng(new QPushButton("Export PNG...", this))
    , clock_([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    setWindowTitle("Trend");
    setObjectName("TrendWindow");
    cbSpan->setObjectName("cbSpan");
    bPause->setObjectName("bPause");
    bClear->setObjectName("bClear");
    bExportCsv->setObjectName("bExportCsv");
    bExportPng->setObjectName("bExportPng");

    for (const rSpanChoice& choice : SpanChoices)
        cbSpan->addItem(choice.Text, QVariant::fromValue<qlonglong>(choice.Ms));
    cbSpan->setCurrentIndex(cbSpan->findData(QVariant::fromValue<qlonglong>(spanMs_)));
    bPause->setCheckable(true);
    for (QPushButton* b : {bPause, bClear, bExportCsv, bExportPng})
        b->setAutoDefault(false);

    chart_->legend()->setAlignment(Qt::AlignBottom);
    chart_->addAxis(timeAxis_, Qt::AlignBottom);
    timeAxis_->setTickCount(7);
    chartView->setRenderHint(QPainter::Antialiasing);
    chartView->setContextMenuPolicy(Qt::ActionsContextMenu);
    ApplyPalette();

    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel("Span:", this));
    controls->addWidget(cbSpan);
    controls->addWidget(bPause);
    controls->addWidget(bClear);
    controls->addStretch();
    controls->addWidget(bExportCsv);
    controls->addWidget(bExportPng);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(chartView, 1);
    resize(820, 460);

    connect(cbSpan, &QComboBox::currentIndexChanged, this,
            [this](int index) { SetSpan(cbSpan->itemData(index).toLongLong()); });
    connect(bPause, &QPushButton::toggled, this, &TTrendWindow::bPauseClick);
    connect(bClear, &QPushButton::clicked, this, &TTrendWindow::Clear);
    connect(bExportCsv, &QPushButton::clicked, this, &TTrendWindow::bExportCsvClick);
    connect(bExportPng, &QPushButton::clicked, this, &TTrendWindow::bExportPngClick);
    // The view moves on with the clock between polls too.
    tScroll.setInterval(1000);
    connect(&tScroll, &QTimer::timeout, this, [this] {
        if (!paused_)
            Redraw();
    });
    tScroll.start();
}

TTrendWindow::~TTrendWindow() = default;

QString TTrendWindow::rTrendLine::Name() const
{
    return Meter.isEmpty() ? Caption : Caption + " — " + Meter;
}

QString TTrendWindow::UnitOf(const QString& caption)
{
    const QString text = caption.trimmed();
    const qsizetype open = text.lastIndexOf('(');
    if (!text.endsWith(')') || open < 0)
        return {};
    return text.mid(open + 1, text.size() - open - 2).trimmed();
}

void TTrendWindow::AddField(TDataField* field)
{
    const bool known = std::any_of(lines_.begin(), lines_.end(), [field](const auto& l) { return l->Field == field; });
    if (field && !known) {
        rTrendLine& line = NewLine(field);
        line.Remove = new QAction("Remove " + line.Caption, chartView);
        connect(line.Remove, &QAction::triggered, this, [this, field] { RemoveField(field); });
        chartView->addAction(line.Remove);
    }
    show();
    raise();
    Redraw();
}

TTrendWindow::rTrendLine& TTrendWindow::NewLine(TDataField* field)
{
    auto line = std::make_unique<rTrendLine>();
    line->Field = field;
    line->Caption = field->Caption();
    line->Meter = meter_;
    line->Unit = UnitOf(line->Caption);
    line->Decimals = std::clamp(field->Decimals, 0, 15);
    line->Color = LineColors[lines_.size() % std::size(LineColors)];
    line->Axis = AxisFor(line->Unit);
    Segment(*line, 0);
    line->Dots = new QScatterSeries;
    line->Dots->setName(line->Name());
    line->Dots->setColor(line->Color);
    line->Dots->setBorderColor(line->Color);
    line->Dots->setMarkerSize(6);
    chart_->addSeries(line->Dots);
    line->Dots->attachAxis(timeAxis_);
    line->Dots->attachAxis(line->Axis);
    HideFromLegend(*chart_, line->Dots);
    return *lines_.emplace_back(std::move(line));
}

bool TTrendWindow::Listed(const rTrendLine& line) const
{
    return line.Meter == meter_ || line.Series.SampleCount() > 0;
}

TTrendWindow::rTrendLine& TTrendWindow::LineFor(TDataField* field)
{
    for (const auto& line : lines_)
        if (line->Field == field && line->Meter == meter_)
            return *line;
    return NewLine(field);
}

std::vector<TDataField*> TTrendWindow::Fields() const
{
    std::vector<TDataField*> fields;
    for (const auto& line : lines_)
        if (line->Field && std::find(fields.begin(), fields.end(), line->Field) == fields.end())
            fields.push_back(line->Field);
    return fields;
}

void TTrendWindow::SetMeter(const QString& meter)
{
    if (meter == meter_)
        return;
    meter_ = meter;
    const int64_t now = clock_();
    std::erase_if(meterChanges_, [now](int64_t t) { return t < now - TTrendSeries::DayMs; });
    meterChanges_.push_back(meterChanges_.empty() ? now : std::max(now, meterChanges_.back()));
}

void TTrendWindow::RemoveField(const TDataField* field)
{
    const auto first = std::stable_partition(lines_.begin(), lines_.end(),
                                             [field](const auto& l) { return l->Field != field; });
    if (first == lines_.end())
        return;
    std::vector<std::unique_ptr<rTrendLine>> removed(std::make_move_iterator(first),
                                                     std::make_move_iterator(lines_.end()));
    lines_.erase(first, lines_.end());
    for (const auto& line : removed) {
        for (QAbstractSeries* series : line->Segments) {
            chart_->removeSeries(series);
            delete series;
        }
        chart_->removeSeries(line->Dots);
        delete line->Dots;
        delete line->Remove;
    }
    // The field's lines share their unit's axis: it goes once, with the
    // last line that used it.
    const QString& unit = removed.front()->Unit;
    QValueAxis* axis = removed.front()->Axis;
    if (std::none_of(lines_.begin(), lines_.end(), [axis](const auto& l) { return l->Axis == axis; })) {
        chart_->removeAxis(axis);
        delete axis;
        axes_.erase(unit);
    }
    Redraw();
}

// Units alternate between the left and the right side of the plot.
QValueAxis* TTrendWindow::AxisFor(const QString& unit)
{
    auto found = axes_.find(unit);
    if (found != axes_.end())
        return found->second;
    auto* axis = new QValueAxis;
    axis->setTitleText(unit);
    chart_->addAxis(axis, axes_.size() % 2 == 0 ? Qt::AlignLeft : Qt::AlignRight);
    ApplyPalette(*axis);
    axes_[unit] = axis;
    return axis;
}

// The line's index-th piece, created on first use. Pieces after the first
// share its colour and stay out of the legend.
QLineSeries* TTrendWindow::Segment(rTrendLine& line, std::size_t index)
{
    while (line.Segments.size() <= index) {
        auto* series = new QLineSeries;
        series->setName(line.Name());
        QPen pen(line.Color);
        pen.setWidthF(1.5);
        series->setPen(pen);
        chart_->addSeries(series);
        series->attachAxis(timeAxis_);
        series->attachAxis(line.Axis);
        if (!line.Segments.empty())
            HideFromLegend(*chart_, series);
        line.Segments.push_back(series);
    }
    return line.Segments[index];
}

void TTrendWindow::TakePoints(bool ok)
{
    // A point taken after a meter change lies after it, even within the
    // same millisecond, so that the change cuts the line before it.
    const int64_t now = meterChanges_.empty() ? clock_() : std::max(clock_(), meterChanges_.back() + 1);
    for (TDataField* field : Fields()) {
        std::optional<double> value;
        if (ok && field->HasValue())
            value = field->Value;
        LineFor(field).Series.Add(now, value);
    }
    if (!paused_)
        Redraw();
}

int64_t TTrendWindow::ViewEnd() const
{
    return paused_ ? pausedAtMs_ : clock_();
}

void TTrendWindow::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        ApplyPalette();
}

// The chart's own theme is light whatever the desktop's; its background,
// texts and grid take the window's palette instead.
void TTrendWindow::ApplyPalette()
{
    const QPalette colours = palette();
    chart_->setBackgroundBrush(colours.brush(QPalette::Base));
    chart_->setBackgroundPen(QPen(colours.color(QPalette::Mid)));
    chartView->setBackgroundBrush(colours.brush(QPalette::Window));
    chart_->legend()->setLabelColor(colours.color(QPalette::Text));
    for (QAbstractAxis* axis : chart_->axes())
        ApplyPalette(*axis);
}

void TTrendWindow::ApplyPalette(QAbstractAxis& axis) const
{
    const QPalette colours = palette();
    const QColor text = colours.color(QPalette::Text);
    axis.setLabelsColor(text);
    axis.setTitleBrush(text);
    axis.setLinePenColor(Mix(colours.color(QPalette::Base), text, 0.5));
    axis.setGridLineColor(Mix(colours.color(QPalette::Base), text, 0.2));
    axis.setMinorGridLineColor(Mix(colours.color(QPalette::Base), text, 0.1));
}

void TTrendWindow::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Its default size is wider than a small screen at a large scale: the
    // title bar's close box and the export buttons must stay in sight.
    FitToScreen(*this);
    Redraw();
}

void TTrendWindow::Redraw()
{
    if (!isVisible())
        return;
    const int64_t toMs = ViewEnd();
    const int64_t fromMs = toMs - spanMs_;
    timeAxis_->setFormat(spanMs_ <= HourMs ? "hh:mm:ss" : "dd.MM. hh:mm");
    timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(fromMs), QDateTime::fromMSecsSinceEpoch(toMs));

    std::map<QValueAxis*, std::pair<double, double>> ranges;
    for (const auto& line : lines_) {
        const auto drawn = RedrawLine(*line, fromMs, toMs);
        if (!drawn)
            continue;
        auto& range = ranges.try_emplace(line->Axis, *drawn).first->second;
        range = {std::min(range.first, drawn->first), std::max(range.second, drawn->second)};
    }
    for (const auto& line : lines_)
        for (QLegendMarker* marker : chart_->legend()->markers(line->Segments.front()))
            marker->setVisible(Listed(*line));
    for (auto [axis, range] : ranges) {
        const double pad = range.second > range.first ? (range.second - range.first) * 0.05
                           : range.first != 0    ? std::fabs(range.first) * 0.05
                                                 : 1.0;
        axis->setRange(range.first - pad, range.second + pad);
        axis->applyNiceNumbers();
    }
}

std::optional<std::pair<double, double>> TTrendWindow::RedrawLine(rTrendLine& line, int64_t fromMs, int64_t toMs)
{
    // A slice of the plot per pixel column; at most two points each.
    const int columns = std::clamp(static_cast<int>(chart_->plotArea().width()), 200, 2000);
    const std::vector<TTrendSegment> segments = SplitAt(line.Series.Visible(fromMs, toMs, columns), meterChanges_);
    std::optional<std::pair<double, double>> extremes;
    QList<QPointF> dots;
    std::size_t used = 0;
    for (const TTrendSegment& segment : segments) {
        QList<QPointF> points;
        points.reserve(static_cast<qsizetype>(segment.size()));
        for (const rTrendPoint& p : segment) {
            points.append(QPointF(static_cast<qreal>(p.TimeMs), p.Value));
            extremes = extremes ? std::pair{std::min(extremes->first, p.Value), std::max(extremes->second, p.Value)}
                                : std::pair{p.Value, p.Value};
        }
        if (points.size() == 1)
            dots.append(points.front());
        else
            Segment(line, used++)->replace(points);
    }
    for (std::size_t i = used; i < line.Segments.size(); ++i)
        line.Segments[i]->clear();
    line.Dots->replace(dots);
    return extremes;
}

void TTrendWindow::SetSpan(int64_t spanMs)
{
    spanMs_ = std::clamp<int64_t>(spanMs, MinuteMs, TTrendSeries::DayMs);
    const int index = cbSpan->findData(QVariant::fromValue<qlonglong>(spanMs_));
    if (index >= 0 && index != cbSpan->currentIndex())
        cbSpan->setCurrentIndex(index);
    Redraw();
}

void TTrendWindow::SetPaused(bool paused)
{
    if (paused && !paused_)
        pausedAtMs_ = clock_();
    paused_ = paused;
    bPause->setChecked(paused);
    bPause->setText(paused ? "Resume" : "Pause");
    Redraw();
}

void TTrendWindow::bPauseClick(bool checked)
{
    if (checked != paused_)
        SetPaused(checked);
}

void TTrendWindow::Clear()
{
    for (const auto& line : lines_)
        line->Series.Clear();
    Redraw();
}

QString TTrendWindow::CsvText(int64_t fromMs, int64_t toMs) const
{
    const QString separator = locale_.decimalPoint() == "," ? ";" : ",";
    QLocale number = locale_;
    number.setNumberOptions(QLocale::OmitGroupSeparator);

    QString text = "Time";
    std::vector<std::vector<rTrendSample>> samples;
    std::vector<int64_t> times;
    std::vector<const rTrendLine*> listed;
    for (const auto& line : lines_) {
        if (!Listed(*line))
            continue;
        listed.push_back(line.get());
        text += separator + CsvCell(line->Name(), separator);
        samples.push_back(line->Series.Samples(fromMs, toMs));
        for (const rTrendSample& s : samples.back())
            times.push_back(s.TimeMs);
    }
    text += '\n';
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());

    std::vector<std::size_t> next(samples.size(), 0);
    for (const int64_t t : times) {
        text += QDateTime::fromMSecsSinceEpoch(t).toString("yyyy-MM-dd hh:mm:ss.zzz");
        for (std::size_t k = 0; k < samples.size(); ++k) {
            // Polls of the same millisecond make one row with the latest value.
            double value = std::nan("");
            for (; next[k] < samples[k].size() && samples[k][next[k]].TimeMs <= t; ++next[k])
                value = samples[k][next[k]].TimeMs == t ? samples[k][next[k]].Value : value;
            text += separator;
            if (!std::isnan(value))
                text += number.toString(value, 'f', listed[k]->Decimals);
        }
        text += '\n';
    }
    return text;
}

bool TTrendWindow::ExportCsv(const QString& path)
{
    const int64_t toMs = ViewEnd();
    const QByteArray content = CsvText(toMs - spanMs_, toMs).toUtf8();
    return WriteFile(WithExtension(path, "csv"),
                     [&content](QIODevice& file) { return file.write(content) == content.size(); });
}

bool TTrendWindow::ExportPng(const QString& path)
{
    const QPixmap picture = chartView->grab();
    return WriteFile(WithExtension(path, "png"),
                     [&picture](QIODevice& file) { return !picture.isNull() && picture.save(&file, "PNG"); });
}

// Writes the file whole or not at all, and says why when it cannot.
bool TTrendWindow::WriteFile(const QString& path, const std::function<bool(QIODevice&)>& write)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && write(file) && file.commit())
        return true;
    file.cancelWriting();
    ShowMessageBox(this, QMessageBox::Warning, "Kelvane",
                   QString("Could not write %1: %2").arg(path, file.errorString()));
    return false;
}

// The file the user chose, with the extension when the name has none; empty
// when the user cancels. The dialog asks before replacing the name as typed,
// so a file under the name with the extension is asked about here.
QString TTrendWindow::ChooseExportPath(const QString& caption, const QString& filter, const QString& extension)
{
    const QString chosen = SaveFileName(this, caption, QString(), filter);
    if (chosen.isEmpty())
        return {};
    const QString path = WithExtension(chosen, extension);
    if (path != chosen && QFileInfo::exists(path)
        && ShowMessageBox(this, QMessageBox::Question, "Kelvane",
                          QString("%1 already exists.\nDo you want to replace it?").arg(path),
                          QMessageBox::Yes | QMessageBox::No)
               != QMessageBox::Yes)
        return {};
    return path;
}

void TTrendWindow::bExportCsvClick()
{
    const QString path = ChooseExportPath("Export CSV", "CSV files (*.csv)", "csv");
    if (!path.isEmpty())
        ExportCsv(path);
}

void TTrendWindow::bExportPngClick()
{
    const QString path = ChooseExportPath("Export PNG", "PNG images (*.png)", "png");
    if (!path.isEmpty())
        ExportPng(path);
}
