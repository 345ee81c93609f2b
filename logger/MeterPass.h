#pragma once

#include "BankPass.h"
#include "KelvaneCOM.h"
#include "RegisterBanksFile.h"

#include <functional>
#include <vector>

// How one meter's pass went.
struct TMeterPass {
    bool Complete = false;    // every active bank was read
    bool Interrupted = false; // a stop request ended the pass early
    bool Answered = false;    // the meter answered some request, with values or a Modbus exception
    bool Missed = false;      // requests went out on a working link and the meter answered none of them
    QString Failure;          // why the last bank that failed did, when one did
};

// One read of the meter at address over a link, which may carry other
// meters too: the link's register image is cleared first, so that what the
// pass leaves in it is this meter's answer alone. The banks are read in file
// order, each with up to tries tries. A bank the meter gives no answer for
// ends the pass, since the rest would only wait as long again; a bank it
// refuses with an exception does not. A serial port that went away or never
// opened is opened again first, by the same name, so an adapter plugged back
// in is found again. stop is asked between the reads and their tries; abort,
// when given, ends a wait for the meter at once when it becomes true. onTry
// sees every try, and whether it repeats a try that failed.
TMeterPass ReadMeterPass(TKelvane& link, uint8_t address, const std::vector<TRegisterBankEntry>& banks, int tries,
                         const std::function<bool()>& stop, const bool* abort,
                         const std::function<void(const TExchange&, bool repeat)>& onTry = {});
