// The main window's register commands: the register banks, the read-all
// pass with its retries and trace, single-register writes, the register
// write box, the phase edit and the function 17 box.

#include "main.h"

#include "CmdLine.h"
#include "CalibrateBox.h"
#include "ConfigCommit.h"
#include "DataLogger.h"
#include "FileDialogs.h"
#include "GeneralTab.h"
#include "MessageBoxes.h"
#include "ProgressDialogUnit.h"
#include "RegisterBanksFile.h"
#include "RegisterBitDefs.h"
#include "RegisterMap.h"
#include "RegisterText.h"
#include "StatusBar.h"
#include "frmAddressUnit.h"
#include "frmComSelect.h"
#include "frmModbusData.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>

namespace {

int DecimalValue(const QString& text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : 0;
}

constexpr int ConfigFirst = RegisterMap::ConfigFirst;
constexpr int ConfigLast = RegisterMap::ConfigLast;
// How long the status bar shows the writes the meter refused, in ms.
constexpr int RefusedWriteMessageTime = 60000;

} // namespace

uint8_t TForm1::DeviceAddress() const
{
    return static_cast<uint8_t>(dialogs_.frmAddress->GetAddress());
}

int TForm1::Attempts() const
{
    return dialogs_.ComSelect->Link().Tries;
}

// One try of a read as the status bar counts it and the trace and the
// window's log show it.
void TForm1::NoteTry(const TKelvane& link, const TExchange& exchange, bool repeat)
{
    status_->NoteFrame(exchange.Result == 0);
    statistics_.Add(MeterKey(link), exchange, repeat);
    WriteResult(exchange);
    if (const QString late = lateNotice_.Note(MeterKey(link), exchange, link.RXTimeout()); !late.isEmpty()) {
        statusBar()->showMessage(late, RefusedWriteMessageTime);
        AddMemoLine(late);
    }
}

// Reads the banks with the window's rules: every bank is tried, the pass
// stops when the window closes, the "Port" menu replaces the link or a menu
// is open. The link stays alive until the pass returns.
TBankPass::TResult TForm1::ReadBanks(const std::vector<TRegisterBankEntry>& banks,
                                     const std::function<void(std::size_t, int, const QString&)>& onBank)
{
    const std::shared_ptr<TKelvane> link = kelvane_;
    if (!link)
        return {};
    TBankPass pass;
    pass.Abort = &AppClosing;
    pass.Stop = [this, link] { return AppClosing || MenuOpen || kelvane_ != link; };
    // A bank's second and later tries are retries.
    auto triesOfBank = std::make_shared<int>(0);
    pass.OnTry = [this, link, triesOfBank](const TExchange& exchange) {
        NoteTry(*link, exchange, (*triesOfBank)++ > 0);
    };
    pass.OnBank = [onBank, triesOfBank](std::size_t i, int result, const QString& line) {
        *triesOfBank = 0;
        if (onBank)
            onBank(i, result, line);
    };
    return pass.Run(*link, DeviceAddress(), banks, {Attempts(), /*EndAtSilence=*/false});
}

void TForm1::bReadRegsClick()
{
    if (passRunning_)
        return;
    passRunning_ = true;
    struct PassEnd {
        bool& running;
        ~PassEnd() { running = false; }
    } passEnd{passRunning_};
    general_->ClearTraffic();
    ShowMeter();
    QCoreApplication::processEvents();
    // The meter and the link this pass reads, for its log record.
    const std::shared_ptr<TKelvane> link = kelvane_;
    const TMeterKey meter = link ? MeterKey(*link) : TMeterKey{};
    const TBankPass::TResult pass = ReadBanks(general_->Banks(), [this](std::size_t i, int result, const QString& line) {
        if (result == 0) {
            pages_->DataCalculate();
            if (i == 0)
                pages_->UpdatePhaseWindows();
        }
        status_->SetStatus(line);
        general_->AddTrafficLine(line);
        QCoreApplication::processEvents();
    });
    if (AppClosing)
        return;
    // A pass that tried every bank is logged before anything lets events run.
    if (pass.AnyBankRead && !pass.Stopped)
        logger_->PassCompleted(meter, *link);
    if (calibrate_->cbDevid->isChecked())
        bFunc17Click();
    AfterPass(pass.AnyBankRead, pass.LastResult);
    if (pass.AnyBankRead && !AppClosing)
        emit PassCompleted(pass.LastResult == 0);
}

// Judges the pass by its last bank read and runs the configuration editor's
// commit cycle. A pass that read no bank at all says nothing about the
// meter: the status and the editor are left as they are.
void TForm1::AfterPass(bool anyBankRead, int lastResult)
{
    if (!anyBankRead)
        return;
    if (lastResult != 0) {
        pages_->DataReset();
        dialogs_.frmAddress->SetCommStatus("NO COMM");
        return;
    }
    const std::shared_ptr<TKelvane> link = kelvane_;
    if (!link)
        return;
    calibrate_->cbDevid->setChecked(link->GetRegister(RegisterMap::XConfigWord) & RegisterMap::XConfigDevidBit);
    if (link->GetRegister(RegisterMap::Fixed12345) == RegisterMap::Fixed12345Value)
        dialogs_.frmAddress->SetCommStatus("COMM OK!");
    // A write the meter refused is shown where the technician looks: the
    // trace with its frames and reason, and the status bar.
    const TConfigMeter meter{
        [this](int reg, int32_t value) { return SetRegister(reg, value); },
        [this] {
            ReadBanks({{"Configuration", ConfigFirst, ConfigLast - 1, true},
                       {"Configuration", ConfigLast, ConfigLast, true}},
                      {});
        },
        [link](int reg) { return link->GetRegister(reg); },
        [this](const QString& line, bool refused) {
            AddMemoLine(line);
            if (refused)
                dialogs_.ModbusData->AddNote(line);
        }};
    const QStringList refused = RunConfigCommit(*dialogs_.ConfigWord, meter);
    if (!refused.isEmpty())
        statusBar()->showMessage(refused.join("; "), RefusedWriteMessageTime);
}

// reg is the protocol address itself (0..65535); the link refuses any other
// without sending.
int32_t TForm1::SetRegister(int reg, int32_t value)
{
    if (const auto def = RegisterBitDefs::Lookup(reg); def && reg >= RegisterBitDefs::MeasurementFirst)
        value &= static_cast<int32_t>((uint64_t{1} << def->Bits) - 1);
    const std::shared_ptr<TKelvane> link = kelvane_;
    // A write asked for while the link waits for another exchange (a key
    // pressed during a pass) waits its turn instead of being lost.
    if (link && link->Exchanging()) {
        QTimer::singleShot(0, this, [this, reg, value] { SetRegister(reg, value); });
        return TKelvane::ResultPending;
    }
    if (!link)
        return TKelvane::ResultPending;
    const TExchange exchange = link->WriteProtocolRegister(DeviceAddress(), reg, value, AppClosing);
    statistics_.Add(MeterKey(*link), exchange);
    WriteResult(exchange);
    if (dialogs_.ProgressDialog->isVisible())
        dialogs_.ProgressDialog->Step();
    return exchange.Result;
}

void TForm1::WriteResult(const TExchange& exchange)
{
    if (general_->ShowData())
        for (const TAttempt& attempt : exchange.Attempts) {
            general_->AddTrafficLine(TModbusData::QueryLine(attempt.Request));
            general_->AddTrafficLine(TModbusData::ResponseLine(attempt.Reply));
        }
    dialogs_.ModbusData->AddTransaction(exchange);
}

void TForm1::bWriteSendClick()
{
    const int reg = HexValue(calibrate_->ebRead->text());
    const int last = calibrate_->cb32bit->isChecked() ? reg + 1 : reg;
    if (reg < 0 || last > 0xFFFF) {
        ShowMessageBox(this, QMessageBox::Warning, "Write Register",
                       QString("Register $%1 is out of range: a register number is $0 to $FFFF.")
                           .arg(calibrate_->ebRead->text().trimmed().remove('$').toUpper()));
        return;
    }
    const int value = calibrate_->rbHex->isChecked() ? HexValue(calibrate_->ebWriteValue->text()) : DecimalValue(calibrate_->ebWriteValue->text());
    if (calibrate_->cb32bit->isChecked()) {
        SetRegister(reg, static_cast<int32_t>(static_cast<uint32_t>(value) >> 16));
        SetRegister(reg + 1, value & 0xFFFF);
    } else {
        SetRegister(reg, value);
    }
}

bool TForm1::WriteValueKey(const QKeyEvent& key)
{
    if (key.key() == Qt::Key_Up || key.key() == Qt::Key_Down) {
        const int step = key.key() == Qt::Key_Up ? 1 : -1;
        calibrate_->ebWriteValue->setText(QString::number(DecimalValue(calibrate_->ebWriteValue->text()) + step));
        bWriteSendClick();
        return true;
    }
    if (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) {
        bWriteSendClick();
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

bool TForm1::PhaseKey(const QKeyEvent& key)
{
    int step = 0;
    if (key.key() == Qt::Key_Up)
        step = 1;
    else if (key.key() == Qt::Key_Down)
        step = -1;
    else if (key.key() != Qt::Key_Return && key.key() != Qt::Key_Enter)
        return false;
    const int n = DecimalValue(calibrate_->ebPhase->text()) + step;
    calibrate_->ebPhase->setText(QString::number(n));
    for (int reg : {575, 576, 577})
        SetRegister(reg, n);
    return true;
}

void TForm1::bFunc17Click()
{
    QPlainTextEdit* memoF17 = calibrate_->memoF17;
    memoF17->clear();
    const std::shared_ptr<TKelvane> link = kelvane_;
    if (link && link->TCP()) {
        memoF17->appendPlainText("Function 17 needs a serial link: Modbus/TCP meters are not asked for it");
        return;
    }
    const QByteArray text = link ? link->Modbus17(DeviceAddress(), AppClosing) : QByteArray();
    if (text.isEmpty()) {
        memoF17->appendPlainText("No Response");
        return;
    }
    const int id = static_cast<uint8_t>(text[0]);
    const int status = text.size() > 1 ? static_cast<uint8_t>(text[1]) : 0;
    memoF17->appendPlainText(QString("ID : 0x%1     Status : 0x%2")
                             .arg(id, 2, 16, QChar('0'))
                             .arg(status, 2, 16, QChar('0')));
    memoF17->appendPlainText("Msg: " + QString::fromLatin1(text.mid(2)));
}

// "Dump Registers": the register image of the banks' ranges as read so far,
// a row per register. A register whose latest read failed, or that was
// never read, has no value: what the image holds for it is not the meter's
// answer.
void TForm1::DumpRegisters()
{
    QString name = SaveFileName(this, "Dump Registers", paths_.DataDirectory, "CSV files (*.csv);;All files (*)");
    // The link of the moment once the dialog has closed: the "Port" menu
    // may have replaced it meanwhile.
    const std::shared_ptr<TKelvane> link = kelvane_;
    if (name.isEmpty() || !link)
        return;
    if (QFileInfo(name).suffix().isEmpty())
        name += ".csv";
    QSaveFile file(name);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        file.write("Register,Value,Latest read OK\n");
        for (const TRegisterBankEntry& bank : general_->Banks())
            for (int reg = bank.Start; reg <= bank.End; ++reg) {
                const bool ok = link->LatestReadOk(reg);
                const QString value = ok ? QString::number(link->GetRegister(reg)) : QString();
                file.write(QString("%1,%2,%3\n").arg(reg).arg(value, ok ? "yes" : "no").toUtf8());
            }
    }
    if (!file.commit())
        ShowMessageBox(this, QMessageBox::Warning, "Dump Registers",
                       QString("The registers could not be saved to %1: %2").arg(name, file.errorString()));
}
