#include "BankPass.h"

namespace {

QString HexText(int value)
{
    return QString("%1").arg(static_cast<uint32_t>(value), 3, 16, QChar('0'));
}

// A Modbus exception: the meter is there and refused this bank.
bool MeterAnswered(int result)
{
    return result > 0;
}

} // namespace

QString TBankPass::StatusLine(const TRegisterBankEntry& bank, const QString& outcome)
{
    return QString("[0x%1-0x%2] (%3) = %4").arg(HexText(bank.Start), HexText(bank.End), bank.Name, outcome);
}

TBankPass::TResult TBankPass::Run(TKelvane& link, uint8_t address, const std::vector<TRegisterBankEntry>& banks,
                                  TRules rules)
{
    TResult pass;
    pass.Complete = true;
    const auto stop = [this] { return Stop && Stop(); };
    static const bool never = false;
    const bool& abort = Abort ? *Abort : never;
    for (std::size_t i = 0; i < banks.size(); ++i) {
        const TRegisterBankEntry& bank = banks[i];
        if (!bank.Active)
            continue;
        int result = MeterResult::NoReply;
        for (int tryNumber = 0; tryNumber < rules.Tries && result != 0; ++tryNumber) {
            if (stop()) {
                pass.Stopped = true;
                pass.Complete = false;
                return pass;
            }
            const TExchange exchange = link.Read(address, 3, bank.Start, bank.End, abort);
            result = exchange.Result;
            pass.AnyBankRead = true;
            if (OnTry)
                OnTry(exchange);
            // A port that went away answers no try; a refused request no other.
            if (result == MeterResult::PortLost || result == MeterResult::ReadFromBroadcast ||
                result == MeterResult::RegisterOutOfRange || result == MeterResult::InvalidCount)
                break;
        }
        pass.LastResult = result;
        const QString line = StatusLine(bank, TKelvane::ErrorCode(result));
        if (OnBank)
            OnBank(i, result, line);
        if (result == 0)
            continue;
        pass.Complete = false;
        pass.Failure = line;
        if (rules.EndAtSilence && !MeterAnswered(result))
            break;
    }
    return pass;
}
