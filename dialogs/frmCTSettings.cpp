#include "frmCTSettings.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <array>

namespace {
constexpr std::array GridColumnWidths{106, 108, 96};
constexpr int GridRows = 5; // the heading row and four entries

QLineEdit* NamedEdit(const char* name, const QString& text, QWidget* parent)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    return edit;
}
} // namespace

TCTSettings::TCTSettings(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle("Confirm CT Settings");
    setObjectName("CTSettings");

    auto* groups = new QHBoxLayout;
    groups->addWidget(CreateParameters());
    groups->addWidget(CreateGain());
    groups->addWidget(CreateSettings());

    // Neither button does anything yet; disabled, they do not pretend to.
    bSave = new QPushButton("Save to File", this);
    bSave->setObjectName("bSave");
    Button1 = new QPushButton("Use Once", this);
    Button1->setObjectName("Button1");
    for (QPushButton* button : {bSave, Button1}) {
        button->setAutoDefault(false);
        button->setEnabled(false);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bSave);
    buttons->addWidget(Button1);

    CreateGrid();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(groups);
    layout->addWidget(Grid, 0, Qt::AlignLeft);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    FormCreate();
}

QWidget* TCTSettings::CreateParameters()
{
    auto* group = new QGroupBox("CT Parameters", this);
    ebRatio = NamedEdit("ebRatio", "7500", group);
    ebPhase = NamedEdit("ebPhase", "-35", group);
    auto* form = new QFormLayout(group);
    form->addRow("CT Effective Ratio:", ebRatio);
    form->addRow("CT Phase Shift:", ebPhase);
    return group;
}

QWidget* TCTSettings::CreateGain()
{
    auto* group = new QGroupBox("Gain", this);
    group->setObjectName("rgGain");
    rgGain = new QButtonGroup(group);
    auto* column = new QVBoxLayout(group);
    int index = 0;
    for (const char* caption : {"1", "2", "4", "8"}) {
        auto* item = new QRadioButton(caption, group);
        rgGain->addButton(item, index++);
        column->addWidget(item);
    }
    rgGain->button(0)->setChecked(true);
    return group;
}

QWidget* TCTSettings::CreateSettings()
{
    auto* group = new QGroupBox("Settings", this);
    cbFreq = new QComboBox(group);
    cbFreq->setObjectName("cbFreq");
    cbFreq->addItems({"50Hz", "60Hz"});
    cbFreq->setCurrentText("60Hz");
    ebRadianMult = NamedEdit("ebRadianMult", "1", group);
    auto* form = new QFormLayout(group);
    form->addRow("Frequency:", cbFreq);
    form->addRow("Radian Mult:", ebRadianMult);
    return group;
}

void TCTSettings::CreateGrid()
{
    // The heading row is the table's own header, so it stays fixed.
    Grid = new QTableWidget(GridRows - 1, int(GridColumnWidths.size()), this);
    Grid->setObjectName("Grid");
    Grid->verticalHeader()->hide();
    Grid->horizontalHeader()->setSectionsClickable(false);
    int width = 2 * Grid->frameWidth();
    for (int column = 0; column < Grid->columnCount(); ++column) {
        Grid->setColumnWidth(column, GridColumnWidths[std::size_t(column)]);
        width += GridColumnWidths[std::size_t(column)];
    }
    int height = 2 * Grid->frameWidth() + Grid->horizontalHeader()->sizeHint().height();
    for (int row = 0; row < Grid->rowCount(); ++row)
        height += Grid->rowHeight(row);
    Grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Grid->setFixedSize(width, height);
}

void TCTSettings::FormCreate()
{
    Grid->setHorizontalHeaderLabels({"Date", "Ratio", "Phase"});
}
