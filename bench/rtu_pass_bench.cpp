// One read-all pass of the default register banks over Modbus RTU, against
// the simulated meter on a pseudo-terminal:
//  - ours: the meter link on the serial master, function 3 per active bank
//    of RegisterBanks.ini, as the main window reads them;
//  - libmodbus: modbus_read_registers of the same banks on the same line.
// Both take turns on the line in blocks of passes. Our reply ends after a
// silence of FrameInterval (libmodbus stops when the expected length has
// arrived), so our pass is shown as its silences plus the rest, and the
// rest per bank is compared with libmodbus's whole time per bank.
//
// Usage: rtu_pass_bench [passes per block] [blocks] [baud 9600|19200|38400|57600]

#include "IniFile.h"
#include "KelvaneCOM.h"
#include "SerialFrame.h"
#include "SimHarness.h"

#include <QCoreApplication>
#include <QDir>

#include <modbus/modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint8_t Unit = 1;
constexpr int HoldingRegisters = 3;
constexpr int MaxBankRegisters = 125;
// The end-of-frame silence in characters that the link sets on its serial
// connection.
constexpr uint32_t LinkSilentInterval = 50;

struct rBank {
    QString Name;
    int Start = 0;
    int End = 0;
};

struct rLine {
    uint32_t Baud;
    TBaudRate Rate;
};

constexpr rLine Lines[] = {
    {9600, TBaudRate::br9600},
    {19200, TBaudRate::br19200},
    {38400, TBaudRate::br38400},
    {57600, TBaudRate::br57600},
};

void Check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error("benchmark step failed: " + what);
}

rLine LineOf(uint32_t baud)
{
    for (const rLine& line : Lines)
        if (line.Baud == baud)
            return line;
    throw std::runtime_error("baud rate must be 9600, 19200, 38400 or 57600");
}

// The protocol address of a register number, by the 4xxxx rule of the link.
int ProtocolAddress(int number)
{
    return number > 40000 ? number - 40001 : number;
}

// The ticked banks of the file, read as the main window reads them.
std::vector<rBank> ActiveBanks(const QString& fileName)
{
    const TIniFile ini(fileName);
    std::vector<rBank> banks;
    for (const QString& section : ini.Sections()) {
        if (!ini.ReadBool(section, "Active", true))
            continue;
        rBank bank{ini.ReadString(section, "Name", section), ini.ReadInteger(section, "Start", 0),
                   ini.ReadInteger(section, "End", 0)};
        const int count = bank.End - bank.Start + 1;
        Check(count >= 1 && count <= MaxBankRegisters, "bank " + bank.Name.toStdString() + " has a usable size");
        banks.push_back(bank);
    }
    Check(!banks.empty(), "a ticked bank in " + fileName.toStdString());
    return banks;
}

double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

double OurPass(TKelvane& link, const std::vector<rBank>& banks)
{
    static const bool never = false;
    const double t0 = Seconds();
    for (const rBank& bank : banks)
        Check(link.ReadRegisters(Unit, HoldingRegisters, bank.Start, bank.End, never) == 0,
              "our read of " + bank.Name.toStdString());
    return Seconds() - t0;
}

double LibmodbusPass(modbus_t* ctx, const std::vector<rBank>& banks)
{
    uint16_t values[MaxBankRegisters];
    const double t0 = Seconds();
    for (const rBank& bank : banks) {
        const int count = bank.End - bank.Start + 1;
        Check(modbus_read_registers(ctx, ProtocolAddress(bank.Start), count, values) == count,
              "libmodbus read of " + bank.Name.toStdString());
    }
    return Seconds() - t0;
}

// A libmodbus RTU master at the link's rate, 8N1, on the simulator's line.
modbus_t* LibmodbusMaster(const std::string& path, uint32_t baud)
{
    modbus_t* ctx = modbus_new_rtu(path.c_str(), static_cast<int>(baud), 'N', 8, 1);
    Check(ctx != nullptr, "libmodbus context");
    modbus_set_slave(ctx, Unit);
    modbus_set_response_timeout(ctx, 2, 0);
    return ctx;
}

struct rTimes {
    std::vector<double> Ours;
    std::vector<double> Peer;
};

// Blocks of passes by turns; the line is held by one master at a time, as
// the link takes the port for itself.
rTimes Measure(TKelvane& link, modbus_t* ctx, const std::vector<rBank>& banks, int passes, int blocks)
{
    rTimes times;
    for (int block = 0; block < blocks; ++block) {
        link.SetActive(true);
        Check(link.Active(), "our port opens again: " + link.LastOpenError().toStdString());
        OurPass(link, banks); // the first pass after an open is not typical
        for (int i = 0; i < passes; ++i)
            times.Ours.push_back(OurPass(link, banks));
        link.SetActive(false);

        Check(modbus_connect(ctx) == 0, "libmodbus connect");
        LibmodbusPass(ctx, banks);
        for (int i = 0; i < passes; ++i)
            times.Peer.push_back(LibmodbusPass(ctx, banks));
        modbus_close(ctx);
    }
    return times;
}

void Print(const std::vector<rBank>& banks, const rTimes& times, uint32_t baud, uint32_t frameIntervalMs)
{
    const double n = static_cast<double>(banks.size());
    const double silences = n * frameIntervalMs * 1e-3;
    std::printf("read-all pass of %zu banks at %u baud over a pseudo-terminal:", banks.size(), baud);
    for (const rBank& bank : banks)
        std::printf(" %s %d-%d;", qPrintable(bank.Name), bank.Start, bank.End);
    std::printf("\n%zu passes each, median (90th percentile)\n", times.Ours.size());
    for (const double p : {0.5, 0.9}) {
        const double ours = Percentile(times.Ours, p);
        const double peer = Percentile(times.Peer, p);
        const double oursPerBank = (ours - silences) / n;
        const double peerPerBank = peer / n;
        std::printf("%s\n", p == 0.5 ? "median:" : "90th percentile:");
        std::printf("  ours      %8.3f ms = %zu x FrameInterval %u ms (%.0f ms) + the rest %.3f ms\n", ours * 1e3,
                    banks.size(), frameIntervalMs, silences * 1e3, (ours - silences) * 1e3);
        std::printf("  libmodbus %8.3f ms (no silence: it stops at the expected length)\n", peer * 1e3);
        std::printf("  per bank beyond the silences: ours %.3f ms, libmodbus %.3f ms, ratio %.2f", oursPerBank * 1e3,
                    peerPerBank * 1e3, oursPerBank / peerPerBank);
        if (p == 0.5)
            std::printf(" (goal: ours < 1 ms) %s", oursPerBank < 1e-3 ? "met" : "NOT MET");
        std::printf("\n");
    }
}

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? std::atoi(argv[1]) : 20;
    const int blocks = argc > 2 ? std::atoi(argv[2]) : 5;
    const rLine line = LineOf(argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 9600);
    Check(passes > 0 && blocks > 0, "passes and blocks are positive");

    const std::vector<rBank> banks = ActiveBanks(QDir(KELVANE_DATA_DIR).filePath("RegisterBanks.ini"));
    simharness::rSimSetup setup;
    setup.Baud = line.Baud;
    simharness::TInProcessRtuSim sim(setup);

    TKelvane link(QString::fromStdString(sim.Path()), false);
    Check(link.Active(), "our port opens at first: " + link.LastOpenError().toStdString());
    link.SetBaudRate(line.Rate);
    link.SetActive(false);
    modbus_t* ctx = LibmodbusMaster(sim.Path(), line.Baud);
    try {
        const rTimes times = Measure(link, ctx, banks, passes, blocks);
        // The FrameInterval of the link's connection: 8N1 at this rate with
        // the link's SilentInterval of 50 characters.
        const uint32_t frameIntervalMs = FrameInterval(
            TTransmissionMode::tmRTU,
            TLineTiming{line.Baud, TDataBits::db8, TParityScheme::psNone, TStopBits::sb1, LinkSilentInterval});
        Print(banks, times, line.Baud, frameIntervalMs);
    } catch (...) {
        modbus_free(ctx);
        throw;
    }
    modbus_free(ctx);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
