#include "MeterPoller.h"

#include "ModbusConnection.h"

#include <exception>

namespace {

constexpr int Tries = 3;
// The meter answered with a Modbus exception: it is there, it refused this
// bank.
bool MeterAnswered(int result)
{
    return result > 0;
}

QString HexText(int value)
{
    return QString("%1").arg(static_cast<uint32_t>(value), 3, 16, QChar('0'));
}

} // namespace

TMeterPoller::TMeterPoller(const TLoggerOptions& options, std::vector<TRegisterBankEntry> banks)
    : options_(options), banks_(std::move(banks)), link_(std::make_unique<TKelvane>(options.Target, options.Tcp))
{
    if (options_.Tcp)
        link_->SetTcpPort(options_.TcpPort);
    else
        link_->SetBaudRate(options_.Baud);
}

QString TMeterPoller::Describe() const
{
    const QString where =
        options_.Tcp ? QString("%1:%2").arg(options_.Target).arg(options_.TcpPort)
                     : QString("%1 at %2 baud").arg(options_.Target).arg(BaudRateValue(options_.Baud, 0));
    return QString("%1, unit %2").arg(where).arg(options_.Address);
}

bool TMeterPoller::EnsureOpen(QString& failure)
{
    if (!link_->Active())
        link_->SetActive(true);
    if (link_->Active())
        return true;
    failure = options_.Tcp ? "not an IP address" : "the port does not open: " + link_->LastOpenError();
    return false;
}

int TMeterPoller::ReadBank(const TRegisterBankEntry& bank, const std::function<bool()>& stop, QString& failure)
{
    const bool noAbort = false;
    int result = MeterResult::NoReply;
    for (int attempt = 0; attempt < Tries && result != 0 && (attempt == 0 || !stop()); ++attempt) {
        try {
            result = link_->ReadRegisters(options_.Address, 3, bank.Start, bank.End, noAbort);
            failure = TKelvane::ErrorCode(result);
        } catch (const std::exception& e) {
            // A port closed under the request: the next pass opens it again.
            failure = QString::fromLocal8Bit(e.what());
            result = MeterResult::Unknown;
            break;
        }
        if (result == MeterResult::PortLost)
            break;
    }
    return result;
}

TMeterPoller::TPass TMeterPoller::ReadAll(const std::function<bool()>& stop)
{
    TPass pass;
    link_->ResetRegisters();
    if (!EnsureOpen(pass.Failure))
        return pass;
    pass.Complete = true;
    for (const TRegisterBankEntry& bank : banks_) {
        if (!bank.Active)
            continue;
        if (stop()) {
            pass.Complete = false;
            break;
        }
        QString failure;
        const int result = ReadBank(bank, stop, failure);
        if (result == 0)
            continue;
        pass.Complete = false;
        pass.Failure =
            QString("[0x%1-0x%2] (%3) = %4").arg(HexText(bank.Start), HexText(bank.End), bank.Name, failure);
        if (!MeterAnswered(result))
            break;
    }
    // A pass that a stop request cut short gives no record.
    pass.Interrupted = !pass.Complete && stop();
    return pass;
}
