#include "MeterPoller.h"

#include "LoggerMessages.h"
#include "MeterResult.h"
#include "ModbusConnection.h"

#include <exception>

// The link's changes (a kept TCP connection made, lost or refused, a serial
// port lost) are messages of the logger's own, each once, those that come
// again and again within a minute as a count; read once, they wait for the
// end of the pass. The link opens at the first pass, once, with every
// setting made.
TMeterPoller::TMeterPoller(const TLoggerOptions& options, std::vector<TRegisterBankEntry> banks)
    : options_(options), banks_(std::move(banks)), link_(std::make_unique<TKelvane>(options.Target, options.Kind, TKelvane::TOpen::Later))
{
    if (options_.Kind != TLinkKind::Serial)
        link_->SetTcpPort(options_.TcpPort);
    if (options_.Kind != TLinkKind::Tcp)
        link_->SetBaudRate(options_.Baud);
    options_.Link.Apply(*link_);
    if (options_.Once)
        link_->SetOnLinkState([this](const QString& state) { heldStates_.Hold(state); });
    else
        link_->SetOnLinkState([this](const QString& state) { linkStates_.Say(state); });
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

namespace {

// False with the reason in failure when the link does not open.
bool EnsureOpen(TKelvane& link, QString& failure)
{
    if (!link.Active())
        link.SetActive(true);
    if (link.Active())
        return true;
    failure = link.Kind() != TLinkKind::Serial ? "not an IP address" : "the port does not open: " + link.LastOpenError();
    return false;
}

// The meter is there when it answers, even with a refusal.
bool MeterAnswered(int result)
{
    return result == MeterResult::Success || result > 0;
}

// The request went out on the line and the meter did not answer it: silence,
// or a frame that was no answer of its.
bool MeterMissed(int result)
{
    return result == MeterResult::NoReply || result == MeterResult::InvalidFrame ||
           result == MeterResult::UnexpectedReply || result == MeterResult::UnmatchedReply;
}

} // namespace

TMeterPass ReadMeterPass(TKelvane& link, uint8_t address, const std::vector<TRegisterBankEntry>& banks, int tries,
                         const std::function<bool()>& stop, const bool* abort,
                         const std::function<void(const TExchange&, bool repeat)>& onTry)
{
    TMeterPass pass;
    link.ResetRegisters();
    if (!EnsureOpen(link, pass.Failure))
        return pass;
    TBankPass banksPass;
    banksPass.Stop = stop;
    banksPass.Abort = abort;
    // A bank's second and later tries are retries.
    int triesOfBank = 0;
    banksPass.OnTry = [&](const TExchange& exchange) {
        pass.Answered = pass.Answered || MeterAnswered(exchange.Result);
        pass.Missed = pass.Missed || MeterMissed(exchange.Result);
        if (onTry)
            onTry(exchange, triesOfBank++ > 0);
    };
    banksPass.OnBank = [&triesOfBank](std::size_t, int, const QString&) { triesOfBank = 0; };
    try {
        const TBankPass::TResult read = banksPass.Run(link, address, banks, {tries, /*EndAtSilence=*/true});
        pass.Complete = read.Complete;
        pass.Interrupted = read.Stopped || (!read.Complete && stop());
        pass.Failure = read.Failure;
    } catch (const std::exception& e) {
        // A port closed under the request: the next pass opens it again.
        pass.Failure = QString::fromLocal8Bit(e.what());
        pass.Interrupted = stop();
    }
    pass.Missed = pass.Missed && !pass.Answered;
    return pass;
}

TMeterPoller::TPass TMeterPoller::ReadAll(const std::function<bool()>& stop, const bool* abort)
{
    const TMeterKey meter{Describe(), static_cast<uint8_t>(options_.Address)};
    const TPass pass = ReadMeterPass(*link_, options_.Address, banks_, options_.Link.Tries, stop, abort,
                                     [this, &meter](const TExchange& exchange, bool) {
                                         if (const QString late = lateNotice_.Note(meter, exchange, link_->RXTimeout());
                                             !late.isEmpty())
                                             LoggerMessage(late);
                                     });
    heldStates_.Release(pass.Complete);
    return pass;
}
