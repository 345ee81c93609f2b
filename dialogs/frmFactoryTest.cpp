#include "frmFactoryTest.h"

#include "KelvaneCOM.h"
#include "FileDialogs.h"
#include "MessageBoxes.h"
#include "RegisterMap.h"

#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QDir>
#include <QFileDialog>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringList>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr int InfoColumns = 5;
constexpr int InfoRows = 3;
constexpr std::array InfoColumnWidths{70, 261, 89, 76, 70};
constexpr int DataColumns = 8;
constexpr int DataRows = 8;
constexpr int DataColumnWidth = 70;
constexpr int DataRowHeight = 16;
constexpr int FrequencyRow = 7;

const QStringList InfoColumnHeadings{"", "Model", "Serial", "SW Version", "Cal Date"};
const QStringList InfoRowHeadings{"", "Kelvane", "Radian"};
const QStringList DataColumnHeadings{"", "Standard", "A", "B", "C", "Err A", "Err B", "Err C"};
const QStringList DataRowHeadings{"", "V", "I", "W", "VA", "VAR", "PF", "Freq"};
// Decimals of the readings of each data row (index = row).
constexpr std::array RowDecimals{0, 1, 3, 3, 3, 3, 3, 1};

// Offsets of the meter's readings in the floating-point block from register
// 768 (two registers each), in the order of TMeterReadings.
constexpr int FloatBlockStart = RegisterMap::LoggedQuantitiesFirst;
constexpr std::array<int, 19> MeterReadingSlots{
    10, 11, 12, // voltage A-N, B-N, C-N
    16, 17, 18, // current
    19, 20, 21, // real power
    25, 26, 27, // apparent power
    22, 23, 24, // reactive power
    28, 29, 30, // power factor
    8,          // frequency
};

// Every cell has its item from the start, so a cell is read and written by
// its text.
QString Cell(const QTableWidget& grid, int column, int row)
{
    return grid.item(row, column)->text();
}

void SetCell(QTableWidget& grid, int column, int row, const QString& text)
{
    grid.item(row, column)->setText(text);
}

void CreateBodyCells(QTableWidget& grid, Qt::ItemFlags flags, Qt::Alignment alignment)
{
    for (int row = 1; row < grid.rowCount(); ++row) {
        for (int column = 1; column < grid.columnCount(); ++column) {
            auto* item = new QTableWidgetItem;
            item->setFlags(flags);
            item->setTextAlignment(alignment);
            grid.setItem(row, column, item);
        }
    }
}

// A heading cell: drawn like a button face, neither editable nor selectable,
// as fixed cells are.
void SetHeading(QTableWidget& grid, int column, int row, const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled);
    item->setBackground(grid.palette().button());
    item->setForeground(grid.palette().buttonText());
    grid.setItem(row, column, item);
}

void WriteGridHeadings(QTableWidget& grid, const QStringList& columns, const QStringList& rows)
{
    for (int column = 0; column < columns.size(); ++column)
        SetHeading(grid, column, 0, columns[column]);
    for (int row = 1; row < rows.size(); ++row)
        SetHeading(grid, 0, row, rows[row]);
}

// A grid sized to show all its cells, with no headers or scroll bars of its
// own: the headings live in its first row and column.
QTableWidget* CreateGrid(const char* name, int columns, int rows, QWidget* parent)
{
    auto* grid = new QTableWidget(rows, columns, parent);
    grid->setObjectName(name);
    grid->horizontalHeader()->hide();
    grid->verticalHeader()->hide();
    grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return grid;
}

void FitGridToCells(QTableWidget& grid)
{
    int width = 2 * grid.frameWidth();
    for (int column = 0; column < grid.columnCount(); ++column)
        width += grid.columnWidth(column);
    int height = 2 * grid.frameWidth();
    for (int row = 0; row < grid.rowCount(); ++row)
        height += grid.rowHeight(row);
    grid.setFixedSize(width, height);
}

QString FormatReading(long double value, int decimals)
{
    return std::isfinite(value) ? QString::number(double(value), 'f', decimals) : QString();
}

// One CSV field, quoted when it holds a separator, a quote or a line break.
QString CsvField(const QString& text)
{
    static const QRegularExpression needsQuotes("[,\"\r\n]");
    if (!text.contains(needsQuotes))
        return text;
    return '"' + QString(text).replace("\"", "\"\"") + '"';
}

QString CsvLine(const QStringList& fields)
{
    QStringList quoted;
    for (const QString& field : fields)
        quoted << CsvField(field);
    return quoted.join(',') + "\r\n";
}

QString CsvGrid(const QTableWidget& grid)
{
    QString lines;
    for (int row = 0; row < grid.rowCount(); ++row) {
        QStringList fields;
        for (int column = 0; column < grid.columnCount(); ++column)
            fields << Cell(grid, column, row);
        lines += CsvLine(fields);
    }
    return lines;
}

QLineEdit* NamedEdit(const char* name, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    return edit;
}

} // namespace

TFactoryTest::TFactoryTest(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle("FactoryTest");
    setObjectName("FactoryTest");

    QLayout* edits = CreateEdits();
    CreateGrids();
    QLayout* buttons = CreateButtons();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(edits);
    layout->addWidget(InfoGrid);
    layout->addWidget(DataGrid);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    SaveDialog = NewFileDialog(this, "Log file", QDir::homePath());
    SaveDialog->setObjectName("SaveDialog");
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog->setDefaultSuffix("csv");
    SaveDialog->setNameFilter("CSV files (*.csv)");
    // "Log" appends, so choosing an existing file never replaces it.
    SaveDialog->setOption(QFileDialog::DontConfirmOverwrite);
    connect(SaveDialog, &QFileDialog::fileSelected, ebFileName, &QLineEdit::setText);

    // Headings are there before the window is first activated, for a driver
    // or "Log" that comes first.
    WriteHeadings();
    ebWOModelChange();
}

QLayout* TFactoryTest::CreateEdits()
{
    ebFileName = NamedEdit("ebFileName", this);
    FileOpen = new QPushButton("...", this);
    FileOpen->setObjectName("FileOpen");
    QFont bold = FileOpen->font();
    bold.setBold(true);
    FileOpen->setFont(bold);
    FileOpen->setFixedWidth(FileOpen->fontMetrics().horizontalAdvance("....") + 16);
    FileOpen->setAutoDefault(false);
    ebWOModel = NamedEdit("ebWOModel", this);
    ebWOHW = NamedEdit("ebWOHW", this);
    Edit1 = NamedEdit("Edit1", this);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("File:", this), 0, 0);
    grid->addWidget(ebFileName, 0, 1, 1, 3);
    grid->addWidget(FileOpen, 0, 4);
    grid->addWidget(new QLabel("Model:", this), 1, 0);
    grid->addWidget(ebWOModel, 1, 1);
    grid->addWidget(new QLabel("HW Ver:", this), 1, 2);
    grid->addWidget(ebWOHW, 1, 3);
    grid->addWidget(new QLabel("Test Point:", this), 2, 0);
    grid->addWidget(Edit1, 2, 1);

    connect(FileOpen, &QPushButton::clicked, this, &TFactoryTest::FileOpenClick);
    connect(ebWOModel, &QLineEdit::textChanged, this, &TFactoryTest::ebWOModelChange);
    connect(Edit1, &QLineEdit::textChanged, this, &TFactoryTest::ebWOModelChange);
    return grid;
}

void TFactoryTest::CreateGrids()
{
    InfoGrid = CreateGrid("InfoGrid", InfoColumns, InfoRows, this);
    for (int column = 0; column < InfoColumns; ++column)
        InfoGrid->setColumnWidth(column, InfoColumnWidths[std::size_t(column)]);
    CreateBodyCells(*InfoGrid, Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable,
                    Qt::AlignLeft | Qt::AlignVCenter);
    FitGridToCells(*InfoGrid);

    DataGrid = CreateGrid("DataGrid", DataColumns, DataRows, this);
    DataGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DataGrid->horizontalHeader()->setDefaultSectionSize(DataColumnWidth);
    DataGrid->verticalHeader()->setMinimumSectionSize(DataRowHeight);
    DataGrid->verticalHeader()->setDefaultSectionSize(DataRowHeight);
    CreateBodyCells(*DataGrid, Qt::ItemIsEnabled | Qt::ItemIsSelectable, Qt::AlignRight | Qt::AlignVCenter);
    FitGridToCells(*DataGrid);
}

QLayout* TFactoryTest::CreateButtons()
{
    Edit4 = NamedEdit("Edit4", this);
    Edit5 = NamedEdit("Edit5", this);
    Update = new QPushButton("Update", this);
    Update->setObjectName("Update");
    Button1 = new QPushButton("Log", this);
    Button1->setObjectName("Button1");
    for (QPushButton* button : {Update, Button1})
        button->setAutoDefault(false);

    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel("Analog A", this));
    row->addWidget(Edit4);
    row->addWidget(new QLabel("Analog B", this));
    row->addWidget(Edit5);
    row->addStretch();
    row->addWidget(Update);
    row->addWidget(Button1);

    connect(Update, &QPushButton::clicked, this, &TFactoryTest::UpdateClick);
    connect(Button1, &QPushButton::clicked, this, &TFactoryTest::LogClick);
    return row;
}

void TFactoryTest::UpdateValues(const TValues& values)
{
    const auto reference = [&](int row) { return values[std::size_t(row - 1)]; };
    // Phase readings follow the seven references, three per row.
    const auto phase = [&](int row, int phaseIndex) { return values[std::size_t(7 + 3 * (row - 1) + phaseIndex)]; };
    const long double meterFrequency = values.back();

    for (int row = 1; row < DataRows; ++row)
        SetCell(*DataGrid, 1, row, FormatReading(reference(row), RowDecimals[std::size_t(row)]));
    for (int row = 1; row < FrequencyRow; ++row) {
        for (int phaseIndex = 0; phaseIndex < 3; ++phaseIndex) {
            const long double reading = phase(row, phaseIndex);
            SetCell(*DataGrid, 2 + phaseIndex, row, FormatReading(reading, RowDecimals[std::size_t(row)]));
            SetCell(*DataGrid, 5 + phaseIndex, row, PercentError(reference(row), reading));
        }
    }
    SetCell(*DataGrid, 2, FrequencyRow, FormatReading(meterFrequency, RowDecimals[FrequencyRow]));
    SetCell(*DataGrid, 5, FrequencyRow, PercentError(reference(FrequencyRow), meterFrequency));
    for (int column : {3, 4, 6, 7})
        SetCell(*DataGrid, column, FrequencyRow, QString());
    updateTag_ = 0;
}

void TFactoryTest::UpdateValues(const TReference& reference, const TKelvane& meter)
{
    const TMeterReadings readings = MeterReadings(meter);
    TValues values;
    std::copy(reference.begin(), reference.end(), values.begin());
    std::copy(readings.begin(), readings.end(), values.begin() + reference.size());
    UpdateValues(values);
}

TFactoryTest::TMeterReadings TFactoryTest::MeterReadings(const TKelvane& meter)
{
    const uint8_t wordOrder = meter.WordOrder();
    TMeterReadings readings;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const int first = FloatBlockStart + 2 * MeterReadingSlots[i];
        readings[i] = meter.GetRegisterFloat(first, first + 1, wordOrder);
    }
    return readings;
}

void TFactoryTest::UpdateInfo(const QString& referenceModel, const QString& referenceSerial,
                              const QString& referenceSoftware, const QString& meterSerial,
                              const QString& meterSoftware)
{
    SetCell(*InfoGrid, 1, 2, referenceModel);
    SetCell(*InfoGrid, 2, 2, referenceSerial);
    SetCell(*InfoGrid, 3, 2, referenceSoftware);
    SetCell(*InfoGrid, 2, 1, meterSerial);
    SetCell(*InfoGrid, 3, 1, meterSoftware);
}

QString TFactoryTest::PercentError(long double standard, long double measured)
{
    if (standard == 0)
        return QString();
    const long double error = (measured - standard) / standard * 100;
    if (!std::isfinite(error))
        return QString();
    return QString::number(double(error), 'f', 3) + '%';
}

void TFactoryTest::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
    QDialog::changeEvent(event);
}

void TFactoryTest::WriteHeadings()
{
    WriteGridHeadings(*InfoGrid, InfoColumnHeadings, InfoRowHeadings);
    WriteGridHeadings(*DataGrid, DataColumnHeadings, DataRowHeadings);
}

void TFactoryTest::FormActivate()
{
    WriteHeadings();
    for (QTableWidget* grid : {InfoGrid, DataGrid}) {
        grid->clearSelection();
        grid->setCurrentItem(nullptr);
    }
}

void TFactoryTest::UpdateClick()
{
    updateTag_ = 1;
    for (int row = 1; row < DataRows; ++row)
        for (int column = 1; column < DataColumns; ++column)
            SetCell(*DataGrid, column, row, QString());
    emit UpdateRequested();
}

void TFactoryTest::ebWOModelChange()
{
    SetCell(*InfoGrid, 1, 1, ebWOModel->text());
}

void TFactoryTest::FileOpenClick()
{
    if (!ebFileName->text().isEmpty())
        SaveDialog->selectFile(ebFileName->text());
    SaveDialog->open();
}

QString TFactoryTest::LogRecord() const
{
    const QDateTime now = QDateTime::currentDateTime();
    return CsvLine({"Date", "Time", "Test Point", "Model", "HW Ver", "Analog A", "Analog B"})
        + CsvLine({now.toString("yyyy-MM-dd"), now.toString("HH:mm:ss"), Edit1->text(), ebWOModel->text(),
                   ebWOHW->text(), Edit4->text(), Edit5->text()})
        + CsvGrid(*InfoGrid) + CsvGrid(*DataGrid) + "\r\n";
}

void TFactoryTest::LogClick()
{
    const QString fileName = ebFileName->text();
    if (fileName.isEmpty()) {
        ShowMessageBox(this, QMessageBox::Warning, "FactoryTest",
                       "No log file is chosen. Choose one with \"...\" first.");
        return;
    }
    QFile file(fileName);
    const QByteArray record = LogRecord().toUtf8();
    // A record is written whole or reported as failed; a full disk shows up
    // at the write or the flush.
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(record) == record.size()
        && file.flush();
    if (!written)
        ShowMessageBox(this, QMessageBox::Warning, "FactoryTest",
                       QString("Cannot write the log file \"%1\": %2.").arg(fileName, file.errorString()));
}
