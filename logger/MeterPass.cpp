#include "MeterPass.h"

#include "MeterResult.h"
#include "ModbusConnection.h"

#include <exception>

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
