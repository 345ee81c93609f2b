#pragma once

#include "BankPass.h"
#include "KelvaneCOM.h"
#include "LoggerOptions.h"
#include "RegisterBanksFile.h"

#include <functional>
#include <memory>
#include <vector>

// One read of every active register bank into the meter link's register
// image, for one record. The image is cleared before each pass, so that a
// record never shows a value of an earlier pass as if it were new.
class TMeterPoller {
public:
    struct TPass {
        bool Complete = false; // every active bank was read
        bool Interrupted = false; // a stop request ended the pass early
        QString Failure;       // why the last bank that failed did, when one did
    };

    TMeterPoller(const TLoggerOptions& options, std::vector<TRegisterBankEntry> banks);

    // Reads the banks in file order, each with up to Link.Tries tries. A bank the
    // meter gives no answer for ends the pass, since the rest would only
    // wait as long again; a bank it refuses with an exception does not. A
    // serial port that went away or never opened is opened again first, by
    // the same name, so an adapter plugged back in is found again.
    // stop is asked between the reads and their tries.
    // abort, when given, ends a wait for the meter at once when it becomes true.
    TPass ReadAll(const std::function<bool()>& stop, const bool* abort = nullptr);

    const TKelvane& Meter() const { return *link_; }
    // "192.168.1.20:502, unit 1", "/dev/ttyUSB0 at 9600 baud, unit 1" or
    // "192.168.1.30:4001 (RTU over TCP) at 9600 baud, unit 1".
    QString Describe() const;

private:
    // False with the reason in failure when the serial port does not open.
    bool EnsureOpen(QString& failure);

    TLoggerOptions options_;
    std::vector<TRegisterBankEntry> banks_;
    std::unique_ptr<TKelvane> link_;
};
