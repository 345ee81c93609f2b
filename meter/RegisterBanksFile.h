#pragma once

#include <QString>

#include <cstddef>
#include <vector>

// RegisterBanks.ini: the register banks that a read-all pass reads, one per
// section, in file order. Start and End are register numbers (decimal or
// "$" hexadecimal, 4xxxx form allowed); a bank longer than 125 registers is
// kept as written and fails when it is read.
struct TRegisterBankEntry {
    QString Name;
    int Start = 0;
    int End = 0;
    bool Active = true;
};

namespace RegisterBanksFile {

// At most this many banks are read from a file: the main window marks a
// bank's end edit by bit 15 over the bank's index.
constexpr std::size_t MaxBanks = 32768;

// The banks of the file: "Name" (default "Bank " and the 0-based index),
// "Start" and "End" (default 0), "Active" (default 1). A missing file has none.
std::vector<TRegisterBankEntry> Read(const QString& fileName);

} // namespace RegisterBanksFile
