#include "frmModbusData.h"

#include "KelvaneCOM.h"

#include <QCheckBox>
#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
const QString TraceRule(35, QChar('-'));
}

TModbusData::TModbusData(QWidget* parent)
    : QDialog(parent)
    , Memo(new QPlainTextEdit(this))
    , cbFreeze(new QCheckBox("Freeze", this))
    , Copy(new QPushButton("Copy to Clipboard", this))
    , Clear(new QPushButton("Clear", this))
{
    setWindowTitle("Modbus Data Display");
    setObjectName("ModbusData");
    Memo->setObjectName("Memo");
    cbFreeze->setObjectName("cbFreeze");
    Copy->setObjectName("Copy");
    Clear->setObjectName("Clear");

    Memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Memo->setReadOnly(true);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo->setMaximumBlockCount(MaxTraceLines);

    // Enter in the window must not press a button: "Clear" would lose the trace.
    Copy->setAutoDefault(false);
    Clear->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cbFreeze);
    buttons->addStretch();
    buttons->addWidget(Copy);
    buttons->addWidget(Clear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Memo, 1);
    layout->addLayout(buttons);
    resize(640, 420);

    connect(Copy, &QPushButton::clicked, this, &TModbusData::CopyClick);
    connect(Clear, &QPushButton::clicked, this, &TModbusData::ClearClick);
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

void TModbusData::AddTransaction(const QByteArray& query, const QByteArray& response, int32_t result)
{
    if (Frozen())
        return;
    Memo->appendPlainText(QueryLine(query));
    Memo->appendPlainText(ResponseLine(response));
    Memo->appendPlainText("   RESULT: " + TKelvane::ErrorCode(result));
    Memo->appendPlainText(TraceRule);
}

void TModbusData::AddNote(const QString& line)
{
    if (!Frozen())
        Memo->appendPlainText(line);
}

void TModbusData::CopyClick()
{
    Memo->selectAll();
    QGuiApplication::clipboard()->setText(Memo->toPlainText());
}

void TModbusData::ClearClick()
{
    Memo->clear();
}
