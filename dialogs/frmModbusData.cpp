#include "frmModbusData.h"

#include "FileDialogs.h"
#include "KelvaneCOM.h"
#include "MessageBoxes.h"
#include "TraceModel.h"
#include "TraceView.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSaveFile>
#include <QTextStream>
#include <QVBoxLayout>

TModbusData::TModbusData(QWidget* parent)
    : QDialog(parent)
    , Trace(new TTraceModel(this))
    , Memo(new TTraceView(*Trace, this))
    , cbFreeze(new QCheckBox("Freeze", this))
    , cbFailedOnly(new QCheckBox("Failed only", this))
    , Copy(new QPushButton("Copy to Clipboard", this))
    , Save(new QPushButton("Save...", this))
    , Clear(new QPushButton("Clear", this))
    , saveDirectory_(QDir::homePath())
{
    setWindowTitle("Modbus Data Display");
    setObjectName("ModbusData");
    Memo->setObjectName("Memo");
    cbFreeze->setObjectName("cbFreeze");
    cbFailedOnly->setObjectName("cbFailedOnly");
    Copy->setObjectName("Copy");
    Save->setObjectName("Save");
    Clear->setObjectName("Clear");

    Memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    // Enter in the window must not press a button: "Clear" would lose the trace.
    Copy->setAutoDefault(false);
    Save->setAutoDefault(false);
    Clear->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cbFreeze);
    buttons->addWidget(cbFailedOnly);
    buttons->addStretch();
    buttons->addWidget(Copy);
    buttons->addWidget(Save);
    buttons->addWidget(Clear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Memo, 1);
    layout->addLayout(buttons);
    resize(760, 420);

    connect(Copy, &QPushButton::clicked, this, &TModbusData::CopyClick);
    connect(Save, &QPushButton::clicked, this, &TModbusData::SaveClick);
    connect(Clear, &QPushButton::clicked, this, &TModbusData::ClearClick);
    connect(cbFailedOnly, &QCheckBox::toggled, Trace, &TTraceModel::SetFailedOnly);
}

QString TModbusData::QueryLine(const QByteArray& frame)
{
    return "QRY >" + TKelvane::Hexa(frame);
}

QString TModbusData::ResponseLine(const QByteArray& frame)
{
    return "RSP <" + TKelvane::Hexa(frame);
}

bool TModbusData::Frozen() const
{
    return isVisible() && cbFreeze->isChecked();
}

void TModbusData::AddTransaction(const TExchange& exchange)
{
    if (!Frozen())
        Trace->AddExchange(exchange);
}

void TModbusData::AddNote(const QString& line)
{
    if (!Frozen())
        Trace->AddNote(line);
}

QString TModbusData::TraceText() const
{
    QString text;
    QTextStream out(&text);
    Trace->WriteLines(out);
    out.flush();
    return text;
}

bool TModbusData::SaveTrace(const QString& path, QString& error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = file.errorString();
        return false;
    }
    QTextStream out(&file);
    Trace->WriteLines(out);
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

// The whole trace as shown, as the button always did; the view shows it all
// selected.
void TModbusData::CopyClick()
{
    Memo->selectAll();
    QGuiApplication::clipboard()->setText(TraceText());
}

void TModbusData::SaveClick()
{
    const QString path = SaveFileName(this, "Save Trace", saveDirectory_, "Text files (*.txt);;All files (*)");
    if (path.isEmpty())
        return;
    saveDirectory_ = QFileInfo(path).absolutePath();
    QString error;
    if (!SaveTrace(path, error))
        ShowMessageBox(this, QMessageBox::Warning, windowTitle(),
                       "The trace could not be saved to " + QDir::toNativeSeparators(path) + ": " + error);
}

void TModbusData::ClearClick()
{
    Trace->Clear();
}
