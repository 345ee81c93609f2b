#include "CalibrateBox.h"

#include "FileDialogs.h"
#include "KelvaneCOM.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

namespace {

template <class T>
T* Named(T* widget, const char* name)
{
    widget->setObjectName(name);
    return widget;
}

} // namespace

TCalibrateBox::TCalibrateBox(QString directory, QWidget* parent)
    : QGroupBox("Calibration", parent), directory_(std::move(directory))
{
    setObjectName("CalibrateBox");
    auto* grid = new QGridLayout(this);
    BuildWriteBox();
    grid->addWidget(ebRead, 0, 0);
    grid->addWidget(ebWriteValue, 0, 1);
    grid->addWidget(rbHex, 0, 2);
    grid->addWidget(rbDec, 0, 3);
    grid->addWidget(cb32bit, 0, 4);
    grid->addWidget(bWriteSend, 0, 5);

    bReadRegs = Named(new QPushButton("All", this), "bReadRegs");
    cbPolling = Named(new QCheckBox("Polling", this), "cbPolling");
    cbPolling->setChecked(true);
    ebTimer = Named(new QLineEdit("500", this), "ebTimer");
    connect(ebTimer, &QLineEdit::textChanged, this, [this](const QString& text) {
        bool ok = false;
        const int interval = text.trimmed().toInt(&ok);
        emit IntervalTyped(ok ? interval : 500);
    });
    ebPhase = Named(new QLineEdit(this), "ebPhase");
    grid->addWidget(bReadRegs, 1, 0);
    grid->addWidget(cbPolling, 1, 1);
    grid->addWidget(ebTimer, 1, 2);
    grid->addWidget(new QLabel("Phase:", this), 1, 3);
    grid->addWidget(ebPhase, 1, 4);
    BuildDevidBox(*grid);

    cbCOMPORT = Named(new QComboBox(this), "cbCOMPORT");
    labDirectory = Named(new QLabel(this), "labDirectory");
    auto* chooseDirectory = new QPushButton("...", this);
    connect(chooseDirectory, &QPushButton::clicked, this, &TCalibrateBox::ChooseDirectory);
    bEdit = Named(new QPushButton("Edit", this), "bEdit");
    connect(bEdit, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QDir(directory_).filePath("settings.ini")));
    });
    bLogData = Named(new QPushButton("Log", this), "bLogData");
    auto* beep = new QPushButton("Beep", this);
    connect(beep, &QPushButton::clicked, this, &TCalibrateBox::Beep3);
    auto* beepBox = new QCheckBox("Beep", this);
    connect(beepBox, &QCheckBox::clicked, this, [] { QApplication::beep(); });
    grid->addWidget(cbCOMPORT, 2, 3);
    grid->addWidget(labDirectory, 3, 0, 1, 2);
    grid->addWidget(chooseDirectory, 3, 2);
    grid->addWidget(bEdit, 3, 3);
    grid->addWidget(bLogData, 3, 4);
    grid->addWidget(beep, 3, 5);
    grid->addWidget(beepBox, 2, 4);
}

void TCalibrateBox::BuildWriteBox()
{
    ebRead = Named(new QLineEdit(this), "ebRead");
    ebWriteValue = Named(new QLineEdit(this), "ebWriteValue");
    rbHex = Named(new QRadioButton("Hex", this), "rbHex");
    rbHex->setChecked(true);
    rbDec = Named(new QRadioButton("Dec", this), "rbDec");
    cb32bit = Named(new QCheckBox("32bit", this), "cb32bit");
    bWriteSend = Named(new QPushButton("Write", this), "bWriteSend");
}

void TCalibrateBox::BuildDevidBox(QGridLayout& grid)
{
    auto* devid = new QGroupBox("Devid Mode", this);
    auto* devidGrid = new QGridLayout(devid);
    cbDevid = Named(new QCheckBox("Devid Mode", devid), "cbDevid");
    cbDevid->setEnabled(false);
    bFunc17 = Named(new QPushButton("Function 17", devid), "bFunc17");
    bF17Clear = Named(new QPushButton("Clear", devid), "bF17Clear");
    memoF17 = Named(new QPlainTextEdit(devid), "memoF17");
    memoF17->setReadOnly(true);
    connect(bF17Clear, &QPushButton::clicked, memoF17, &QPlainTextEdit::clear);
    devidGrid->addWidget(cbDevid, 0, 0);
    devidGrid->addWidget(bFunc17, 0, 1);
    devidGrid->addWidget(bF17Clear, 0, 2);
    devidGrid->addWidget(memoF17, 1, 0, 1, 3);
    grid.addWidget(devid, 2, 0, 1, 3);
}

void TCalibrateBox::ListPorts(const QString& inUse)
{
    QStringList ports;
    TKelvane::EnumComPorts(ports);
    ports.removeAll(inUse);
    cbCOMPORT->addItems(ports);
    cbCOMPORT->addItem("Manual");
}

void TCalibrateBox::SetRegisterText(const QString& text)
{
    ebRead->setText(text);
}

QString TCalibrateBox::RegisterText() const
{
    return ebRead->text();
}

void TCalibrateBox::SetValueText(const QString& text)
{
    ebWriteValue->setText(text);
}

void TCalibrateBox::SelectDecimal()
{
    rbDec->setChecked(true);
}

void TCalibrateBox::ChooseDirectory()
{
    const QString start = QDir(labDirectory->text()).exists() ? labDirectory->text() : QDir::rootPath();
    const QString chosen = ExistingDirectory(this, "Select a directory", start);
    if (!chosen.isEmpty())
        labDirectory->setText(chosen);
}

void TCalibrateBox::Beep3()
{
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            TKelvane::Delay(500);
        QApplication::beep();
    }
}
