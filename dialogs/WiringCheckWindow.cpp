#include "WiringCheckWindow.h"

#include "ScreenPlacement.h"

#include "KelvaneCOM.h"

#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QTableWidget>
#include <QTime>
#include <QVBoxLayout>

namespace {

enum TColumn { ColCheck, ColResult, ColValues, ColAdvice, ColumnCount };

struct rVerdictLook {
    const char* Text;
    QColor Colour;
};

// The verdict's text is drawn in this colour on every background below,
// whatever the palette: the palette's own text colour is light in a dark
// palette and would vanish on the pale green, yellow and red.
const QColor VerdictTextColour(0x20, 0x20, 0x20);

rVerdictLook LookOf(TCheckVerdict verdict)
{
    switch (verdict) {
    case TCheckVerdict::Pass: return {"PASS", QColor(0xC8, 0xF0, 0xC8)};
    case TCheckVerdict::Warning: return {"WARNING", QColor(0xFF, 0xE8, 0xA0)};
    case TCheckVerdict::Fail: break;
    }
    return {"FAIL", QColor(0xFF, 0xB8, 0xB0)};
}

// "V A 230.1 V; V B 229.8 V; ..." in the user's number format.
QString ValuesText(const std::vector<rUsedValue>& values, const QLocale& locale)
{
    QStringList parts;
    for (const rUsedValue& v : values) {
        QString part = QString::fromStdString(v.Label) + " " + locale.toString(v.Value, 'f', v.Decimals);
        if (!v.Unit.empty())
            part += (v.Unit == "%" ? "" : " ") + QString::fromStdString(v.Unit);
        parts << part;
    }
    return parts.join("; ");
}

QString ThresholdsText(const rWiringThresholds& t, const QLocale& locale)
{
    const auto n = [&](double v, int decimals = 0) { return locale.toString(v, 'f', decimals); };
    return QString("Thresholds: a phase below %1% of the highest phase voltage has no voltage, below %2% of the "
                   "highest phase current no current; no load below %3 A on every phase. Voltage unbalance "
                   "(largest deviation from the average): warning above %4%, fail above %5%. Current unbalance: "
                   "warning above %6%, fail above %7%. Line-to-line voltage off the value of its two "
                   "line-to-neutral voltages (about sqrt(3) times them): warning above %8%, fail above %9%. "
                   "Power factor of a phase off the median of the three under load: warning above %10, fail "
                   "above %11. Frequency: %12 to %13 Hz.")
        .arg(n(100 * t.NoVoltageShare), n(100 * t.NoCurrentShare), n(t.MinLoadAmps, 2),
             n(t.VoltageUnbalanceWarning), n(t.VoltageUnbalanceFail), n(t.CurrentUnbalanceWarning),
             n(t.CurrentUnbalanceFail), n(t.LineVoltsWarning), n(t.LineVoltsFail))
        .arg(n(t.PowerFactorWarning, 2), n(t.PowerFactorFail, 2), n(t.FrequencyMin), n(t.FrequencyMax));
}

// The time of day with seconds, for the state line.
QString TimeNow()
{
    return QTime::currentTime().toString("HH:mm:ss");
}

QTableWidgetItem* Cell(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

} // namespace

TWiringCheckWindow::TWiringCheckWindow(TMeterSource meter, QWidget* parent)
    : QDialog(parent)
    , meter_(std::move(meter))
    , labState(new QLabel(this))
    , labAbsolute(new QLabel(this))
    , sgChecks(new QTableWidget(0, ColumnCount, this))
    , labThresholds(new QLabel(ThresholdsText(Thresholds(), QLocale::system()), this))
{
    setWindowTitle("Wiring Check");
    setObjectName("WiringCheck");
    labState->setObjectName("labState");
    labAbsolute->setObjectName("labAbsolute");
    sgChecks->setObjectName("sgChecks");
    labThresholds->setObjectName("labThresholds");

    labAbsolute->setWordWrap(true);
    ColourNote();
    labAbsolute->hide();
    labThresholds->setWordWrap(true);
    sgChecks->setHorizontalHeaderLabels({"Check", "Result", "Values", "What to do"});
    sgChecks->verticalHeader()->hide();
    sgChecks->setWordWrap(true);
    sgChecks->setEditTriggers(QAbstractItemView::NoEditTriggers);
    sgChecks->horizontalHeader()->setSectionResizeMode(ColCheck, QHeaderView::ResizeToContents);
    sgChecks->horizontalHeader()->setSectionResizeMode(ColResult, QHeaderView::ResizeToContents);
    sgChecks->horizontalHeader()->setSectionResizeMode(ColValues, QHeaderView::Interactive);
    sgChecks->horizontalHeader()->setSectionResizeMode(ColAdvice, QHeaderView::Stretch);
    sgChecks->setColumnWidth(ColValues, 300);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(labState);
    layout->addWidget(labAbsolute);
    layout->addWidget(sgChecks, 1);
    layout->addWidget(labThresholds);
    resize(1000, 460);
    ShowNotAvailable("No data yet: the checks start with the next poll.");
}

const rWiringThresholds& TWiringCheckWindow::Thresholds()
{
    static const rWiringThresholds thresholds;
    return thresholds;
}

// The note stands out in amber: a dark one on a light window, a light one on
// a dark window, chosen again whenever the palette changes.
void TWiringCheckWindow::ColourNote()
{
    const bool darkWindow = palette().color(QPalette::Window).lightness() < 128;
    labAbsolute->setStyleSheet(darkWindow ? "color: #FFC870;" : "color: #A05000;");
}

void TWiringCheckWindow::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        ColourNote();
}

// Never larger than the screen's free area: the table scrolls instead.
void TWiringCheckWindow::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FitToScreen(*this);
    Refresh();
}

void TWiringCheckWindow::PassCompleted(bool ok)
{
    if (!isVisible())
        return;
    if (ok) {
        Refresh();
        return;
    }
    // The image of a failed pass holds no measurements: keep the last
    // judgement in sight, greyed, instead of judging zeros.
    sgChecks->setEnabled(false);
    labState->setText(QString("Stale: the poll at %1 failed. The results below are from an earlier poll; the "
                              "checks resume with the next poll that succeeds.")
                          .arg(TimeNow()));
}

void TWiringCheckWindow::Refresh()
{
    const TKelvane* meter = meter_ ? meter_() : nullptr;
    const std::optional<rWiringValues> values =
        meter ? WiringCheck::ValuesFromImage(*meter) : std::optional<rWiringValues>{};
    if (!values) {
        ShowNotAvailable(meter ? "Not available: the latest poll did not read the measurements (registers 768 to "
                                 "887) and the configuration word (register 142); the checks start with the "
                                 "next poll that reads them."
                               : "Not available: there is no meter link.");
        return;
    }
    ShowForcedAbsolute(values->ConfigWord);
    ShowChecks(WiringCheck::Check(*values, Thresholds()));
    labState->setText(QString("From the poll at %1.")
                          .arg(TimeNow()));
}

void TWiringCheckWindow::ShowChecks(const std::vector<rWiringCheck>& checks)
{
    const QLocale locale = QLocale::system();
    sgChecks->setEnabled(true);
    sgChecks->setRowCount(static_cast<int>(checks.size()));
    for (int row = 0; row < sgChecks->rowCount(); ++row) {
        const rWiringCheck& c = checks[static_cast<size_t>(row)];
        const rVerdictLook look = LookOf(c.Verdict);
        auto* result = Cell(look.Text);
        result->setBackground(look.Colour);
        result->setForeground(VerdictTextColour);
        result->setTextAlignment(Qt::AlignCenter);
        sgChecks->setItem(row, ColCheck, Cell(QString::fromStdString(c.Name)));
        sgChecks->setItem(row, ColResult, result);
        sgChecks->setItem(row, ColValues, Cell(ValuesText(c.Values, locale)));
        sgChecks->setItem(row, ColAdvice, Cell(QString::fromStdString(c.Advice)));
    }
    sgChecks->resizeRowsToContents();
}

void TWiringCheckWindow::ShowForcedAbsolute(uint16_t configWord)
{
    const std::string forced = WiringCheck::ForcedAbsolute(configWord);
    labAbsolute->setVisible(!forced.empty());
    QString text = QString("The configuration word forces %1 absolute.").arg(QString::fromStdString(forced));
    if (configWord & WiringCheck::ForceWAbsolute)
        text += " The meter shows no negative real power, so a reversed CT cannot be seen: to check the CT "
                "direction, clear \"Force W Absolute\" under Options, Config Word.";
    labAbsolute->setText(text);
}

void TWiringCheckWindow::ShowNotAvailable(const QString& why)
{
    labState->setText(why);
    labAbsolute->hide();
    sgChecks->setRowCount(0);
}
