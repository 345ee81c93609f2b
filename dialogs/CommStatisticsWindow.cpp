#include "CommStatisticsWindow.h"

#include "CommStatistics.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QStringList Headings{"Meter",      "Link",          "Address", "Requests",     "OK",
                           "Timeouts",   "Invalid",       "Exceptions", "Link failures", "Retries",
                           "Late replies", "Last (ms)", "Slowest (ms)"};

// The texts of one meter's row, in the order of the headings.
QStringList RowTexts(const TCommCounters& c)
{
    const auto n = [](int64_t value) { return QString::number(value); };
    return {c.Meter.Name,         c.Meter.Link,      n(c.Meter.Address),
            n(c.Requests),        n(c.Ok),           n(c.Timeouts),
            n(c.Invalid),         n(c.Exceptions),   n(c.LinkFailures),
            n(c.Retries),         n(c.LateReplies),  TCommStatistics::MsText(c.LastRoundTripUs),
            TCommStatistics::MsText(c.SlowestRoundTripUs)};
}

// Numbers stand right-aligned; the meter's name and link read from the left.
constexpr int FirstNumberColumn = 2;

QTableWidgetItem* Cell(const QString& text, int column)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (column >= FirstNumberColumn)
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

} // namespace

TCommStatisticsWindow::TCommStatisticsWindow(TCommStatistics& statistics, QWidget* parent)
    : QDialog(parent)
    , statistics_(statistics)
    , sgMeters(new QTableWidget(0, static_cast<int>(Headings.size()), this))
{
    setWindowTitle("Communication Statistics");
    setObjectName("CommStatistics");
    setModal(false);
    sgMeters->setObjectName("sgMeters");
    sgMeters->setHorizontalHeaderLabels(Headings);
    sgMeters->verticalHeader()->hide();
    sgMeters->setEditTriggers(QAbstractItemView::NoEditTriggers);
    sgMeters->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    sgMeters->horizontalHeader()->setStretchLastSection(true);

    auto* bReset = new QPushButton("Reset", this);
    bReset->setObjectName("bReset");
    bReset->setAutoDefault(false);
    connect(bReset, &QPushButton::clicked, &statistics_, &TCommStatistics::Reset);
    connect(&statistics_, &TCommStatistics::Changed, this, [this] {
        if (isVisible())
            Refresh();
    });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(bReset);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(sgMeters, 1);
    layout->addLayout(buttons);

    // Wide enough for every column on a common screen, and with its frame
    // never wider or taller than the screen; the table scrolls within.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    resize(std::min(1000, screen.width() * 9 / 10), std::min(320, screen.height() * 9 / 10));
}

void TCommStatisticsWindow::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Refresh();
}

void TCommStatisticsWindow::Refresh()
{
    const std::vector<TCommCounters>& meters = statistics_.Meters();
    sgMeters->setRowCount(static_cast<int>(meters.size()));
    for (int row = 0; row < sgMeters->rowCount(); ++row) {
        const QStringList texts = RowTexts(meters[static_cast<std::size_t>(row)]);
        for (int column = 0; column < texts.size(); ++column)
            sgMeters->setItem(row, column, Cell(texts[column], column));
    }
}
