#pragma once

#include "BankPass.h"
#include "KelvaneCOM.h"
#include "LateReplyNotice.h"
#include "LoggerOptions.h"
#include "RegisterBanksFile.h"
#include "RepeatedMessages.h"
#include "StateReports.h"

#include <functional>
#include <memory>
#include <vector>

// How one meter's pass went.
struct TMeterPass {
    bool Complete = false;    // every active bank was read
    bool Interrupted = false; // a stop request ended the pass early
    bool Answered = false;    // the meter answered some request, with values or a Modbus exception
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

// One read of every active register bank into the meter link's register
// image, for one record. The image is cleared before each pass, so that a
// record never shows a value of an earlier pass as if it were new.
class TMeterPoller {
public:
    using TPass = TMeterPass;

    TMeterPoller(const TLoggerOptions& options, std::vector<TRegisterBankEntry> banks);
    // The link's handler holds this poller.
    TMeterPoller(const TMeterPoller&) = delete;
    TMeterPoller& operator=(const TMeterPoller&) = delete;

    // ReadMeterPass with the options' address and tries; a meter that
    // answers later than the receive timeout is told on stderr.
    TPass ReadAll(const std::function<bool()>& stop, const bool* abort = nullptr);

    const TKelvane& Meter() const { return *link_; }
    // "192.168.1.20:502, unit 1", "/dev/ttyUSB0 at 9600 baud, unit 1" or
    // "192.168.1.30:4001 (RTU over TCP) at 9600 baud, unit 1".
    QString Describe() const;
    // The link's changes counted and not said yet, at the end of a run.
    void SayLinkStateCounts() { linkStates_.SayCounts(); }

private:
    TLoggerOptions options_;
    std::vector<TRegisterBankEntry> banks_;
    std::unique_ptr<TKelvane> link_;
    THeldMessages heldStates_;
    TRepeatedMessages linkStates_;
    TLateReplyNotice lateNotice_;
};
