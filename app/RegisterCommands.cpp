// The register write box, the phase edit, the function 17 box and the
// register dump.

#include "RegisterCommands.h"

#include "CalibrateBox.h"
#include "FileDialogs.h"
#include "GeneralTab.h"
#include "KelvaneCOM.h"
#include "LinkSession.h"
#include "MessageBoxes.h"
#include "ProgressDialogUnit.h"
#include "RegisterBitDefs.h"
#include "RegisterText.h"
#include "frmAddressUnit.h"
#include "frmModbusData.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QTimer>

namespace {

int DecimalValue(const QString& text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : 0;
}

} // namespace

TRegisterCommands::TRegisterCommands(TParts parts, QWidget& window)
    : QObject(&window), parts_(std::move(parts)), window_(window)
{
    setObjectName("RegisterCommands");
    TCalibrateBox& box = parts_.Calibrate;
    connect(box.bWriteSend, &QPushButton::clicked, this, &TRegisterCommands::WriteSendClick);
    connect(box.bFunc17, &QPushButton::clicked, this, &TRegisterCommands::Func17Click);
    box.ebWriteValue->installEventFilter(this);
    box.ebPhase->installEventFilter(this);
}

uint8_t TRegisterCommands::DeviceAddress() const
{
    return static_cast<uint8_t>(parts_.Dialogs.frmAddress->GetAddress());
}

int32_t TRegisterCommands::SetRegister(int reg, int32_t value)
{
    const std::shared_ptr<TKelvane> link = parts_.Session.Link();
    // A write asked for while the link waits for another exchange (a key
    // pressed during a pass) waits its turn instead of being lost; it goes
    // to the link and address of its turn.
    if (link && link->Exchanging()) {
        QTimer::singleShot(0, this, [this, reg, value] { SetRegister(reg, value); });
        return TKelvane::ResultPending;
    }
    return SetRegister(link, DeviceAddress(), reg, value);
}

int32_t TRegisterCommands::SetRegister(const std::shared_ptr<TKelvane>& link, uint8_t address, int reg,
                                       int32_t value)
{
    if (!link)
        return TKelvane::ResultPending;
    if (link->Exchanging()) {
        QTimer::singleShot(0, this, [this, link, address, reg, value] { SetRegister(link, address, reg, value); });
        return TKelvane::ResultPending;
    }
    if (const auto def = RegisterBitDefs::Lookup(reg); def && reg >= RegisterBitDefs::MeasurementFirst)
        value &= static_cast<int32_t>((uint64_t{1} << def->Bits) - 1);
    const TExchange exchange = link->WriteProtocolRegister(address, reg, value, parts_.Closing);
    parts_.Statistics.Add(parts_.MeterKey(*link, address), exchange);
    Trace(exchange);
    if (parts_.Dialogs.ProgressDialog->isVisible())
        parts_.Dialogs.ProgressDialog->Step();
    return exchange.Result;
}

void TRegisterCommands::Trace(const TExchange& exchange)
{
    if (parts_.General.ShowData())
        for (const TAttempt& attempt : exchange.Attempts) {
            parts_.General.AddTrafficLine(TModbusData::QueryLine(attempt.Request));
            parts_.General.AddTrafficLine(TModbusData::ResponseLine(attempt.Reply));
        }
    parts_.Dialogs.ModbusData->AddTransaction(exchange);
}

void TRegisterCommands::WriteSendClick()
{
    const TCalibrateBox& box = parts_.Calibrate;
    const int reg = HexValue(box.ebRead->text());
    const int last = box.cb32bit->isChecked() ? reg + 1 : reg;
    if (reg < 0 || last > 0xFFFF) {
        ShowMessageBox(&window_, QMessageBox::Warning, "Write Register",
                       QString("Register $%1 is out of range: a register number is $0 to $FFFF.")
                           .arg(box.ebRead->text().trimmed().remove('$').toUpper()));
        return;
    }
    const int value =
        box.rbHex->isChecked() ? HexValue(box.ebWriteValue->text()) : DecimalValue(box.ebWriteValue->text());
    if (box.cb32bit->isChecked()) {
        SetRegister(reg, static_cast<int32_t>(static_cast<uint32_t>(value) >> 16));
        SetRegister(reg + 1, value & 0xFFFF);
    } else {
        SetRegister(reg, value);
    }
}

bool TRegisterCommands::eventFilter(QObject* watched, QEvent* event)
{
    const TCalibrateBox& box = parts_.Calibrate;
    if (event->type() == QEvent::KeyPress && (watched == box.ebWriteValue || watched == box.ebPhase)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        return watched == box.ebWriteValue ? WriteValueKey(*key) : PhaseKey(*key);
    }
    return QObject::eventFilter(watched, event);
}

bool TRegisterCommands::WriteValueKey(const QKeyEvent& key)
{
    QLineEdit* edit = parts_.Calibrate.ebWriteValue;
    if (key.key() == Qt::Key_Up || key.key() == Qt::Key_Down) {
        const int step = key.key() == Qt::Key_Up ? 1 : -1;
        edit->setText(QString::number(DecimalValue(edit->text()) + step));
        WriteSendClick();
        return true;
    }
    if (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) {
        WriteSendClick();
        return true;
    }
    const QString text = key.text();
    if (text.isEmpty() || key.key() == Qt::Key_Backspace || key.key() == Qt::Key_Tab
        || key.key() == Qt::Key_Escape || key.key() == Qt::Key_Delete || key.key() == Qt::Key_Left
        || key.key() == Qt::Key_Right)
        return false;
    const QChar c = text[0];
    const bool passes = c == '-' || c.isDigit() || QString("abcdefABCDEF").contains(c);
    return !passes;
}

bool TRegisterCommands::PhaseKey(const QKeyEvent& key)
{
    int step = 0;
    if (key.key() == Qt::Key_Up)
        step = 1;
    else if (key.key() == Qt::Key_Down)
        step = -1;
    else if (key.key() != Qt::Key_Return && key.key() != Qt::Key_Enter)
        return false;
    QLineEdit* edit = parts_.Calibrate.ebPhase;
    const int n = DecimalValue(edit->text()) + step;
    edit->setText(QString::number(n));
    for (int reg : {575, 576, 577})
        SetRegister(reg, n);
    return true;
}

void TRegisterCommands::Func17Click()
{
    Func17(parts_.Session.Link(), DeviceAddress());
}

void TRegisterCommands::Func17(const std::shared_ptr<TKelvane>& link, uint8_t address)
{
    QPlainTextEdit* memoF17 = parts_.Calibrate.memoF17;
    memoF17->clear();
    if (link && link->TCP()) {
        memoF17->appendPlainText("Function 17 needs a serial link: Modbus/TCP meters are not asked for it");
        return;
    }
    const QByteArray text = link ? link->Modbus17(address, parts_.Closing) : QByteArray();
    if (text.isEmpty()) {
        memoF17->appendPlainText("No Response");
        return;
    }
    const int id = static_cast<uint8_t>(text[0]);
    const int status = text.size() > 1 ? static_cast<uint8_t>(text[1]) : 0;
    memoF17->appendPlainText(
        QString("ID : 0x%1     Status : 0x%2").arg(id, 2, 16, QChar('0')).arg(status, 2, 16, QChar('0')));
    memoF17->appendPlainText("Msg: " + QString::fromLatin1(text.mid(2)));
}

// A register whose latest read failed, or that was never read, has no
// value: what the image holds for it is not the meter's answer.
void TRegisterCommands::DumpRegisters()
{
    QString name = SaveFileName(&window_, "Dump Registers", parts_.DataDirectory, "CSV files (*.csv);;All files (*)");
    // The link of the moment once the dialog has closed: the "Port" menu
    // may have replaced it meanwhile.
    const std::shared_ptr<TKelvane> link = parts_.Session.Link();
    if (name.isEmpty() || !link)
        return;
    if (QFileInfo(name).suffix().isEmpty())
        name += ".csv";
    QSaveFile file(name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        file.write("Register,Value,Latest read OK\n");
        for (const TRegisterBankEntry& bank : parts_.General.Banks())
            for (int reg = bank.Start; reg <= bank.End; ++reg) {
                const bool ok = link->LatestReadOk(reg);
                const QString value = ok ? QString::number(link->GetRegister(reg)) : QString();
                file.write(QString("%1,%2,%3\n").arg(reg).arg(value, ok ? "yes" : "no").toUtf8());
            }
    }
    if (!file.commit())
        ShowMessageBox(&window_, QMessageBox::Warning, "Dump Registers",
                       QString("The registers could not be saved to %1: %2").arg(name, file.errorString()));
}
