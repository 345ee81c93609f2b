#include "ReadAllPass.h"

#include <algorithm>
#include <stdexcept>

namespace {

// A request of function 3, and the bytes of its reply besides the registers.
constexpr int RequestBytes = 8;
constexpr int ReplyBytesBesideData = 5;

} // namespace

int Count(const TRegisterBankEntry& bank)
{
    return bank.End - bank.Start + 1;
}

TBanks ActiveBanks(const QString& fileName)
{
    TBanks banks;
    for (const TRegisterBankEntry& bank : RegisterBanksFile::Read(fileName)) {
        if (!bank.Active)
            continue;
        if (Count(bank) < 1 || Count(bank) > MaxBankRegisters)
            throw std::runtime_error("bank " + bank.Name.toStdString() + " is not 1 to 125 registers");
        banks.push_back(bank);
    }
    if (banks.empty())
        throw std::runtime_error("no ticked bank in " + fileName.toStdString());
    return banks;
}

int PassBytes(const TBanks& banks)
{
    int bytes = 0;
    for (const TRegisterBankEntry& bank : banks)
        bytes += RequestBytes + ReplyBytesBesideData + 2 * Count(bank);
    return bytes;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
