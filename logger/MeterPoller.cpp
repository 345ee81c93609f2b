#include "MeterPoller.h"

#include "ModbusConnection.h"

#include <exception>

TMeterPoller::TMeterPoller(const TLoggerOptions& options, std::vector<TRegisterBankEntry> banks)
    : options_(options), banks_(std::move(banks)), link_(std::make_unique<TKelvane>(options.Target, options.Tcp))
{
    if (options_.Tcp)
        link_->SetTcpPort(options_.TcpPort);
    else
        link_->SetBaudRate(options_.Baud);
    link_->SetRXTimeout(options_.Link.ReceiveTimeoutMs);
    link_->SetEcho(options_.Link.Echo);
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

TMeterPoller::TPass TMeterPoller::ReadAll(const std::function<bool()>& stop, const bool* abort)
{
    TPass pass;
    link_->ResetRegisters();
    if (!EnsureOpen(pass.Failure))
        return pass;
    TBankPass banks;
    banks.Stop = stop;
    banks.Abort = abort;
    try {
        const TBankPass::TResult read =
            banks.Run(*link_, options_.Address, banks_, {options_.Link.Tries, /*EndAtSilence=*/true});
        pass.Complete = read.Complete;
        pass.Interrupted = read.Stopped || (!read.Complete && stop());
        pass.Failure = read.Failure;
    } catch (const std::exception& e) {
        // A port closed under the request: the next pass opens it again.
        pass.Failure = QString::fromLocal8Bit(e.what());
        pass.Interrupted = stop();
    }
    return pass;
}
