#pragma once

#include "KelvaneCOM.h"
#include "RegisterBanksFile.h"

#include <cstddef>
#include <functional>
#include <vector>

// One read-all pass: the active register banks in order, each tried until
// the meter answers it or the tries run out, into the link's register image.
// The window and the logger differ only in their rules and in what they do
// with each try and each bank, which they hook in.
class TBankPass {
public:
    struct TRules {
        int Tries = 3;
        // A bank the meter gives no answer for (silence, a lost port; not a
        // Modbus exception, which means the meter is there) ends the pass,
        // since the banks after it would only wait as long again.
        bool EndAtSilence = false;
    };
    struct TResult {
        bool AnyBankRead = false; // at least one bank was tried
        bool Complete = false;    // every active bank was read
        bool Stopped = false;     // Stop ended the pass early
        int LastResult = 0;       // of the last bank tried
        QString Failure;          // status line of the last bank that failed; empty when none did
    };

    // Ends the wait of a try at once when it becomes true (the link's abort flag).
    const bool* Abort = nullptr;
    // Asked before every try: true ends the pass.
    std::function<bool()> Stop;
    // After every try, with its exchange.
    std::function<void(const TExchange& exchange)> OnTry;
    // After each bank, with its index in the list, its result and its status line.
    std::function<void(std::size_t index, int result, const QString& line)> OnBank;

    TResult Run(TKelvane& link, uint8_t address, const std::vector<TRegisterBankEntry>& banks, TRules rules);

    // "[0x300-0x33b] (Floats) = OK": the status line of a bank.
    static QString StatusLine(const TRegisterBankEntry& bank, const QString& outcome);
};
