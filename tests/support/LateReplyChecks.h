#pragma once

// Checks for a meter that answers late: the simulator's 60 logged
// quantities as two banks of the same size, 768-827 (quantities 0-29) and
// 828-887 (30-59), with a check that a value belongs to its own bank (some
// quantities of each bank can never take a value of the other's, so a bank
// read into the other's place shows); and the late-reply notices.

#include <QRegularExpression>
#include <QStringList>

#include <cmath>
#include <vector>

namespace testsupport {

inline constexpr const char* SimTwoBanks = "[A]\nName=A\nStart=768\nEnd=827\n[B]\nName=B\nStart=828\nEnd=887\n";

// False when the value of quantity could only be the other bank's.
inline bool InItsOwnBank(int quantity, double value)
{
    switch (quantity) {
    case 6: return value > 0;                    // mean current; 36 is an export energy, 0
    case 8: return value > 45 && value < 55;     // frequency; 38 is 0
    case 31: return std::abs(value - 5.7) < 1e-3; // software version; 1 is the total power
    case 38: return value == 0;                   // export energy; 8 is the frequency
    default: return true;
    }
}

// The lateness each "Meter N answered ... ms after its request" notice
// among lines tells, in order, checked against its exact words; -1 for a
// notice in other words.
inline std::vector<int> LateNotices(const QStringList& lines, int address, int timeoutMs)
{
    const QRegularExpression exact(QString(R"(Meter %1 answered (\d{1,3}(,\d{3})*) ms after its request; )"
                                           R"(the receive timeout is %2 ms$)")
                                       .arg(address)
                                       .arg(timeoutMs));
    std::vector<int> late;
    for (const QString& line : lines)
        if (line.contains("answered")) {
            const QRegularExpressionMatch match = exact.match(line);
            late.push_back(match.hasMatch() ? match.captured(1).remove(',').toInt() : -1);
        }
    return late;
}

} // namespace testsupport
