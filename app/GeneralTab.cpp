#include "GeneralTab.h"

#include "RegisterText.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

QString HexText(int value)
{
    return QString("%1").arg(static_cast<uint32_t>(value), 3, 16, QChar('0')).toUpper();
}

} // namespace

TGeneralTab::TGeneralTab(QWidget* parent) : QWidget(parent)
{
    setObjectName("TabGeneral");
    hide();
    memo_ = new QPlainTextEdit(this);
    memo_->setObjectName("Memo");
    memo_->setGeometry(8, 8, 260, 200);
    memo_->setReadOnly(true);
    traffic_ = new QPlainTextEdit(this);
    traffic_->setObjectName("ComStatusMemo");
    traffic_->setGeometry(8, 216, 530, 220);
    traffic_->setReadOnly(true);
    showData_ = new QCheckBox("Show Data", this);
    showData_->setObjectName("cbLogData");
    showData_->move(280, 8);
    auto* clear = new QPushButton("Clear", this);
    clear->move(280, 32);
    connect(clear, &QPushButton::clicked, memo_, &QPlainTextEdit::clear);
    setupFile_ = new QLabel("No Setup File Loaded", this);
    setupFile_->move(280, 64);
    setupFile_->installEventFilter(this);
}

void TGeneralTab::LoadBanks(const QString& banksFile)
{
    banks_ = RegisterBanksFile::Read(banksFile);
    bankControls_.clear();
    for (std::size_t i = 0; i < banks_.size(); ++i) {
        const TRegisterBankEntry& bank = banks_[i];
        const int top = 16 * static_cast<int>(i) + 16;
        rBankControls controls;
        controls.Active = new QCheckBox(bank.Name, this);
        controls.Active->setGeometry(550, top, 200, 16);
        controls.Active->setChecked(bank.Active);
        controls.Start = MakeRegisterEdit(700, top, bank.Start);
        controls.End = MakeRegisterEdit(700 + 25 - 1, top, bank.End);
        bankControls_.push_back(controls);
    }
}

QLineEdit* TGeneralTab::MakeRegisterEdit(int left, int top, int value)
{
    auto* edit = new QLineEdit(HexText(value), this);
    edit->setGeometry(left, top, 25, 11);
    QFont small = edit->font();
    small.setPointSize(7);
    edit->setFont(small);
    edit->setFrame(false);
    return edit;
}

std::vector<TRegisterBankEntry> TGeneralTab::Banks() const
{
    std::vector<TRegisterBankEntry> banks = banks_;
    for (std::size_t i = 0; i < banks.size(); ++i) {
        banks[i].Active = bankControls_[i].Active->isChecked();
        banks[i].Start = HexValue(bankControls_[i].Start->text());
        banks[i].End = HexValue(bankControls_[i].End->text());
    }
    return banks;
}

void TGeneralTab::AddLogLine(const QString& line)
{
    memo_->appendPlainText(line);
}

void TGeneralTab::AddTrafficLine(const QString& line)
{
    traffic_->appendPlainText(line);
}

void TGeneralTab::ClearTraffic()
{
    traffic_->clear();
}

bool TGeneralTab::ShowData() const
{
    return showData_->isChecked();
}

bool TGeneralTab::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == setupFile_ && event->type() == QEvent::MouseButtonDblClick) {
        emit SetupFileClicked();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
