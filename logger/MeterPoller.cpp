#include "MeterPoller.h"

#include "LoggerMessages.h"
#include "ModbusConnection.h"

#include <exception>

// A kept TCP connection's changes (made, lost, refused) are messages of the
// logger's own, each once.
TMeterPoller::TMeterPoller(const TLoggerOptions& options, std::vector<TRegisterBankEntry> banks)
    : options_(options), banks_(std::move(banks)), link_(std::make_unique<TKelvane>(options.Target, options.Kind))
{
    if (options_.Kind != TLinkKind::Serial)
        link_->SetTcpPort(options_.TcpPort);
    if (options_.Kind != TLinkKind::Tcp)
        link_->SetBaudRate(options_.Baud);
    options_.Link.Apply(*link_);
    link_->SetOnLinkState(LoggerMessage);
}

QString TMeterPoller::Describe() const
{
    const QString address = QString("%1:%2").arg(options_.Target).arg(options_.TcpPort);
    const QString line = QString(" at %1 baud").arg(BaudRateValue(options_.Baud, 0));
    QString where;
    switch (options_.Kind) {
    case TLinkKind::Tcp: where = address; break;
    case TLinkKind::RtuOverTcp: where = address + " (RTU over TCP)" + line; break;
    case TLinkKind::Serial: where = options_.Target + line; break;
    }
    return QString("%1, unit %2").arg(where).arg(options_.Address);
}

bool TMeterPoller::EnsureOpen(QString& failure)
{
    if (!link_->Active())
        link_->SetActive(true);
    if (link_->Active())
        return true;
    failure = options_.Kind != TLinkKind::Serial ? "not an IP address"
                                                 : "the port does not open: " + link_->LastOpenError();
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
