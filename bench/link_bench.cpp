// One read-all pass of the meter's default register banks (the ticked
// banks of data/RegisterBanks.ini, function 3 each, as the main window
// reads them) over links as meters are really reached, the meter link
// beside libmodbus in the same run:
//  - Modbus RTU on an emulated RS-485 line (TLineRelay) at 9600, 19200 and
//    115200 baud to the simulator's RTU port;
//  - Modbus/TCP through a relay with 10 ms latency each way (TLatencyRelay)
//    to the simulator's Modbus/TCP server;
//  - RTU over TCP through the same relay to the simulator's RTU over TCP
//    server; libmodbus, which has no such client, runs RTU on a
//    pseudo-terminal bridged to a TCP connection;
//  - 30 meters on one RTU line at 19200 baud: one cycle reads each meter's
//    banks in turn.
// Every master reads its passes in a block of its own (a serial port admits
// one master at a time), after one pass that is not counted: the first
// after an open or a connect is not typical. Each bank is tried up to three
// times, as the utility's pass does; a pass with a bank unread is left out,
// and the failed tries are counted. Figures are medians.
//
// For the RTU lines the table gives the line time of a pass as well: the
// bytes of every request and reply, 10 bits each, at the line's rate. The
// lines after the table give what each master took per request beyond that
// line time (ours also waits after each reply: its end-of-reply silence
// with the default settings, the Modbus serial line's pause between frames,
// 3.5 characters, with the fast ones), the relay's own lateness and, for the
// relayed TCP links, the connections each master opened.
//
// Our link is measured with the utility's default settings for the link's
// kind and, where those are not the fast ones already, with its fast
// settings (serial replies end at their expected length; the Modbus/TCP
// connection stays open). A row the link cannot be set up for is left out.
//
// Usage: link_bench [passes per master] [cycles of the 30 meters] [baud rates]
// The defaults are 5 passes, 3 cycles and the rates 9600,19200,115200 for
// the single meter's RTU lines; the rates are given comma separated, from
// 9600, 19200, 38400, 57600 and 115200.

#include "BenchMain.h"
#include "KelvaneCOM.h"
#include "LatencyRelay.h"
#include "LineRelay.h"
#include "LinkSettings.h"
#include "RawTty.h"
#include "ReadAllPass.h"
#include "RtuTcpBridge.h"
#include "SerialFrame.h"
#include "SimProcess.h"

#include <QCoreApplication>
#include <QDir>

#include <modbus/modbus.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int HoldingRegisters = 3;
constexpr TMonotonic Latency = 10ms; // each way, on the relayed TCP links
constexpr int ReplyTimeoutMs = 1000;
// The end-of-frame silence in characters that our link sets on its serial
// connection.
constexpr uint32_t LinkSilentInterval = 50;

void Check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error("benchmark step failed: " + what);
}

// The protocol address of a register number, by the 4xxxx rule of the link.
int ProtocolAddress(int number)
{
    return number > 40000 ? number - 40001 : number;
}

// ---- Our link -------------------------------------------------------------

using TOurKind = TLinkKind;

struct rOurSetup {
    TOurKind Kind = TOurKind::Serial;
    std::string Target; // the port's path, or the server's IP address
    uint16_t TcpPort = 0;
    TBaudRate Rate = TBaudRate::br9600;
    // Serial replies end at their expected length and the Modbus/TCP
    // connection stays open, whatever the kind's defaults.
    bool Fast = false;
};

// Our link for a row, made and set up as the row asks and closed until its
// block. RTU over TCP times the silence after a reply by the line's rate.
std::unique_ptr<TKelvane> OurLink(const rOurSetup& setup)
{
    auto link = std::make_unique<TKelvane>(QString::fromStdString(setup.Target), setup.Kind);
    if (setup.Kind != TOurKind::Tcp)
        link->SetBaudRate(setup.Rate);
    if (setup.Kind != TOurKind::Serial)
        link->SetTcpPort(setup.TcpPort);
    const TLinkSettings defaults = TLinkSettings::Defaults(setup.Kind);
    link->SetEndAtLength(setup.Fast || defaults.EndAtLength);
    link->SetKeepConnection(setup.Fast || defaults.KeepConnection);
    link->SetRXTimeout(ReplyTimeoutMs);
    link->SetActive(false);
    return link;
}

// ---- What a row runs on ---------------------------------------------------

struct rRow {
    std::string Name;
    TOurKind Kind;
    uint32_t Baud = 0; // the RTU line's rate; 0 on a TCP link
    TBaudRate Rate = TBaudRate::br9600;
    std::vector<uint8_t> Units{1};
};

// The simulator and the relays in front of it, and where each master goes.
// Members go in the reverse order: the masters' ends first, the simulator
// last.
struct rLinks {
    std::unique_ptr<TSimProcess> Sim;
    std::unique_ptr<TLineRelay> Line;
    std::unique_ptr<TLatencyRelay> Relay;
    std::unique_ptr<TRtuOverTcpPort> PeerPort;
    rOurSetup Ours;
    std::function<modbus_t*()> Peer;

    int Connections() const { return Relay ? Relay->Connections() : 0; }
};

std::string UnitList(const std::vector<uint8_t>& units)
{
    std::string list;
    for (const uint8_t unit : units) {
        if (!list.empty())
            list += ',';
        list += std::to_string(unit);
    }
    return list;
}

std::unique_ptr<TSimProcess> Simulator(const rRow& row, std::vector<std::string> args)
{
    args.insert(args.end(), {"--units", UnitList(row.Units)});
    return std::make_unique<TSimProcess>(KELVANE_SIM_PATH, args);
}

modbus_t* LibmodbusRtu(const std::string& path, uint32_t baud)
{
    return modbus_new_rtu(path.c_str(), static_cast<int>(baud), 'N', 8, 1);
}

rLinks RtuLine(const rRow& row)
{
    rLinks links;
    links.Sim = Simulator(row, {"--rtu", "--baud", std::to_string(row.Baud)});
    links.Line = std::make_unique<TLineRelay>(links.Sim->RtuPath(), row.Baud);
    const std::string path = links.Line->ClientPath();
    links.Ours = {TOurKind::Serial, path, 0, row.Rate, false};
    links.Peer = [path, baud = row.Baud] { return LibmodbusRtu(path, baud); };
    return links;
}

rLinks ModbusTcp(const rRow& row)
{
    rLinks links;
    links.Sim = Simulator(row, {"--port", "0"});
    links.Relay = std::make_unique<TLatencyRelay>(links.Sim->TcpPort(), Latency);
    const uint16_t port = links.Relay->Port();
    links.Ours = {TOurKind::Tcp, "127.0.0.1", port, row.Rate, false};
    links.Peer = [port] { return modbus_new_tcp("127.0.0.1", port); };
    return links;
}

// The simulator serves RTU over TCP itself, as a serial device server
// would; its rate only sets the silence after requests it cannot measure.
rLinks RtuOverTcp(const rRow& row)
{
    rLinks links;
    links.Sim = Simulator(row, {"--rtu-over-tcp", "0", "--baud", "115200"});
    links.Relay = std::make_unique<TLatencyRelay>(links.Sim->RtuOverTcpPort(), Latency);
    links.PeerPort = std::make_unique<TRtuOverTcpPort>(links.Relay->Port());
    links.Ours = {TOurKind::RtuOverTcp, "127.0.0.1", links.Relay->Port(), row.Rate, false};
    links.Peer = [path = links.PeerPort->Path()] { return LibmodbusRtu(path, 115200); };
    return links;
}

rLinks LinksFor(const rRow& row)
{
    switch (row.Kind) {
    case TOurKind::Serial: return RtuLine(row);
    case TOurKind::Tcp: return ModbusTcp(row);
    case TOurKind::RtuOverTcp: return RtuOverTcp(row);
    }
    throw std::logic_error("no such link kind");
}

// ---- Masters and their passes ---------------------------------------------

// A read gives the reason it failed, or nothing.
struct rMaster {
    std::function<void()> Open;
    std::function<void()> Close;
    std::function<std::string(uint8_t unit, const TRegisterBankEntry& bank)> Read;
};

std::string ReadName(const TRegisterBankEntry& bank, uint8_t unit)
{
    return bank.Name.toStdString() + " from unit " + std::to_string(unit);
}

rMaster Ours(TKelvane& link)
{
    return {[&link] {
                link.SetActive(true);
                Check(link.Active(), "our link opens: " + link.LastOpenError().toStdString());
            },
            [&link] { link.SetActive(false); },
            [&link](uint8_t unit, const TRegisterBankEntry& bank) -> std::string {
                static const bool never = false;
                const int result = link.ReadRegisters(unit, HoldingRegisters, bank.Start, bank.End, never);
                if (result == 0)
                    return {};
                return ReadName(bank, unit) + ": " + TKelvane::ErrorCode(result).toStdString();
            }};
}

rMaster Libmodbus(modbus_t* ctx)
{
    // Our link throws away what is on the line before each request; libmodbus
    // does not, so it starts without what a failed exchange of ours left.
    return {[ctx] {
                Check(modbus_connect(ctx) == 0, std::string("libmodbus connect: ") + modbus_strerror(errno));
                modbus_flush(ctx);
            },
            [ctx] { modbus_close(ctx); },
            [ctx](uint8_t unit, const TRegisterBankEntry& bank) -> std::string {
                uint16_t values[MaxBankRegisters];
                modbus_set_slave(ctx, unit);
                if (modbus_read_registers(ctx, ProtocolAddress(bank.Start), Count(bank), values) == Count(bank))
                    return {};
                return ReadName(bank, unit) + ": " + modbus_strerror(errno);
            }};
}

// What went wrong in the passes of a block.
struct rFailures {
    int FailedTries = 0;
    int IncompletePasses = 0; // with a bank that failed every try
    std::string First;        // the first failure, in words

    void Note(const std::string& failure)
    {
        if (FailedTries++ == 0)
            First = failure;
    }
};

// Each bank is tried until it is read or the tries of the utility's default
// settings run out, as the utility's pass does: true when every bank was read.
bool ReadAll(const rMaster& master, const std::vector<uint8_t>& units, const TBanks& banks,
             rFailures& failures)
{
    static const int tries = TLinkSettings{}.Tries;
    bool complete = true;
    for (const uint8_t unit : units)
        for (const TRegisterBankEntry& bank : banks) {
            bool read = false;
            for (int i = 0; i < tries && !read; ++i) {
                const std::string failure = master.Read(unit, bank);
                read = failure.empty();
                if (!read)
                    failures.Note(failure);
            }
            complete = complete && read;
        }
    return complete;
}

struct rBlock {
    double Median = 0; // seconds per pass of every unit, over the complete passes
    int Passes = 0;
    rFailures Failures;
    double ConnectionsPerPass = 0;
};

// A pass with a bank unread is left out of the median. The pass not counted
// reads the last unit, so that the first counted pass starts on another
// unit, as every later one does.
rBlock TimedBlock(const rMaster& master, const rLinks& links, const std::vector<uint8_t>& units,
                  const TBanks& banks, int passes)
{
    master.Open();
    rFailures warmUp;
    ReadAll(master, {units.back()}, banks, warmUp);
    const int connectionsBefore = links.Connections();
    rBlock block;
    block.Passes = passes;
    std::vector<double> times;
    for (int i = 0; i < passes; ++i) {
        const TMonotonic t0 = MonotonicNow();
        const bool complete = ReadAll(master, units, banks, block.Failures);
        const double took = Seconds(MonotonicNow() - t0);
        if (complete)
            times.push_back(took);
        else
            ++block.Failures.IncompletePasses;
    }
    block.ConnectionsPerPass = static_cast<double>(links.Connections() - connectionsBefore) / passes;
    master.Close();
    block.Median = times.empty() ? 0 : Median(times);
    return block;
}

// ---- Results --------------------------------------------------------------

struct rResult {
    std::string Row;
    bool Fast = false;
    rBlock Peer, Ours;
    int Requests = 0;      // per pass
    double LineTime = 0;   // seconds per pass; 0 on a TCP link
    double OurSilence = 0; // seconds per request that our link waits after a reply
    const char* OurWait = "silence";
    std::optional<rLateness> RelayLateness;
    TMonotonic Character{};
};

const char* SettingsName(bool fast)
{
    return fast ? "fast" : "default";
}

// A block's median in ms, or why there is none.
std::string Milliseconds(const rBlock& b)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", b.Median * 1e3);
    return b.Median > 0 ? text : "none whole";
}

// A ratio of two figures, blank when either is missing.
std::string Ratio(double a, double b)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", a / b);
    return a > 0 && b > 0 ? text : "";
}

void PrintTable(const std::vector<rResult>& results)
{
    const char* row = "%-38s %-8s %10s %10s %9s %9s %9s %6s\n";
    std::printf("\n");
    std::printf(row, "link (a pass; for 30 meters a cycle)", "ours", "libmodbus", "ours", "ours/", "line",
                "libmodbus", "ours/");
    std::printf(row, "", "settings", "ms", "ms", "libmodbus", "ms", "/line", "line");
    for (const rResult& r : results) {
        char line[32] = "";
        if (r.LineTime > 0)
            std::snprintf(line, sizeof line, "%.1f", r.LineTime * 1e3);
        std::printf(row, r.Row.c_str(), SettingsName(r.Fast), Milliseconds(r.Peer).c_str(),
                    Milliseconds(r.Ours).c_str(), Ratio(r.Ours.Median, r.Peer.Median).c_str(), line,
                    Ratio(r.Peer.Median, r.LineTime).c_str(), Ratio(r.Ours.Median, r.LineTime).c_str());
    }
}

// Per request, beyond the line time; ours also beyond its wait after a reply.
void PrintBeyondLine(const rResult& r)
{
    const double n = r.Requests;
    const double peer = (r.Peer.Median - r.LineTime) / n;
    const double ours = (r.Ours.Median - r.LineTime) / n - r.OurSilence;
    std::printf("  per request beyond the line time: libmodbus %.2f ms; ours %.2f ms = %s %.2f ms + %.2f ms"
                " (goal: ours < 1 ms, %s)\n",
                peer * 1e3, (ours + r.OurSilence) * 1e3, r.OurWait, r.OurSilence * 1e3, ours * 1e3,
                ours < 1e-3 ? "met" : "NOT MET");
}

void PrintConnections(const rResult& r)
{
    std::printf("  connections per pass: libmodbus %.1f, ours %.1f (a new one costs a round trip of %.0f ms)\n",
                r.Peer.ConnectionsPerPass, r.Ours.ConnectionsPerPass, Seconds(2 * Latency) * 1e3);
}

void PrintFailures(const rResult& r)
{
    for (const auto& [name, block] : {std::pair{"libmodbus", &r.Peer}, std::pair{"ours", &r.Ours}}) {
        const rFailures& f = block->Failures;
        if (f.FailedTries > 0)
            std::printf("  %s: %d tries failed, %d of %d passes left out with a bank unread; the first: %s\n", name,
                        f.FailedTries, f.IncompletePasses, block->Passes, f.First.c_str());
    }
}

void PrintDetails(const std::vector<rResult>& results)
{
    for (const rResult& r : results) {
        std::printf("\n%s, ours %s:\n", r.Row.c_str(), SettingsName(r.Fast));
        if (r.LineTime > 0 && r.Peer.Median > 0 && r.Ours.Median > 0)
            PrintBeyondLine(r);
        if (r.RelayLateness)
            PrintRelayLateness(*r.RelayLateness, r.Character);
        if (r.LineTime == 0)
            PrintConnections(r);
        PrintFailures(r);
    }
}

// ---- Rows -----------------------------------------------------------------

struct rOptions {
    int Passes = 5;
    int Cycles = 3;
    std::vector<uint32_t> Bauds{9600, 19200, 115200};
};

// What our link waits after each reply on an RTU line, in seconds: the
// silence that ends it, or, when it ends at its length, the pause the line
// needs before the next frame.
double SilenceOf(const rRow& row, bool fast)
{
    if (row.Baud == 0)
        return 0;
    const TLineTiming line{row.Baud, TDataBits::db8, TParityScheme::psNone, TStopBits::sb1, LinkSilentInterval};
    return fast ? InterFrameGapUs(TTransmissionMode::tmRTU, line) * 1e-6
                : FrameInterval(TTransmissionMode::tmRTU, line) * 1e-3;
}

// Our links of the row, default settings first; one link where the
// defaults are the fast settings.
std::vector<std::pair<bool, std::unique_ptr<TKelvane>>> OurLinks(rOurSetup setup)
{
    const TLinkSettings defaults = TLinkSettings::Defaults(setup.Kind);
    const bool defaultsFast = defaults.EndAtLength && defaults.KeepConnection;
    std::vector<std::pair<bool, std::unique_ptr<TKelvane>>> links;
    for (const bool fast : {false, true}) {
        if (fast && defaultsFast)
            continue;
        setup.Fast = fast;
        links.emplace_back(fast, OurLink(setup));
    }
    return links;
}

std::vector<rResult> Measure(const rRow& row, const TBanks& banks, int passes)
{
    std::fprintf(stderr, "measuring %s...\n", row.Name.c_str());
    const rLinks links = LinksFor(row);
    const auto ours = OurLinks(links.Ours);
    if (ours.empty())
        return {};
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> ctx(links.Peer(), modbus_free);
    Check(ctx != nullptr, "libmodbus context");
    modbus_set_response_timeout(ctx.get(), 0, ReplyTimeoutMs * 1000);
    // After a failed request libmodbus waits and flushes the line, so that
    // the rest of a broken reply does not spoil the next one.
    modbus_set_error_recovery(ctx.get(), MODBUS_ERROR_RECOVERY_PROTOCOL);

    std::vector<rResult> results;
    for (const auto& [fast, link] : ours) {
        rResult r;
        r.Row = row.Name;
        r.Fast = fast;
        r.Ours = TimedBlock(Ours(*link), links, row.Units, banks, passes);
        r.Requests = static_cast<int>(row.Units.size() * banks.size());
        if (links.Line)
            r.LineTime = PassBytes(banks) * row.Units.size() * Seconds(links.Line->CharacterTime());
        r.OurSilence = SilenceOf(row, fast);
        r.OurWait = fast ? "pause between frames" : "silence";
        results.push_back(r);
    }
    const rBlock peer = TimedBlock(Libmodbus(ctx.get()), links, row.Units, banks, passes);
    for (rResult& r : results) {
        r.Peer = peer;
        if (links.Line) {
            r.RelayLateness = Summarize(links.Line->Lateness());
            r.Character = links.Line->CharacterTime();
        }
    }
    return results;
}

std::vector<uint8_t> Units(int count)
{
    std::vector<uint8_t> units;
    for (int unit = 1; unit <= count; ++unit)
        units.push_back(static_cast<uint8_t>(unit));
    return units;
}

struct rRate {
    uint32_t Baud;
    TBaudRate Rate;
};

constexpr rRate Rates[] = {{9600, TBaudRate::br9600},
                           {19200, TBaudRate::br19200},
                           {38400, TBaudRate::br38400},
                           {57600, TBaudRate::br57600},
                           {115200, TBaudRate::br115200}};

TBaudRate RateOf(uint32_t baud)
{
    const auto rate = std::find_if(std::begin(Rates), std::end(Rates), [&](const rRate& r) { return r.Baud == baud; });
    Check(rate != std::end(Rates), "the baud rate is one of 9600, 19200, 38400, 57600 and 115200");
    return rate->Rate;
}

rRow RtuLineRow(std::string name, uint32_t baud, std::vector<uint8_t> units)
{
    return {std::move(name), TOurKind::Serial, baud, RateOf(baud), std::move(units)};
}

// Each row with its count of passes.
std::vector<std::pair<rRow, int>> Rows(const rOptions& options)
{
    std::vector<std::pair<rRow, int>> rows;
    for (const uint32_t baud : options.Bauds)
        rows.push_back({RtuLineRow("RTU " + std::to_string(baud) + " baud", baud, {1}), options.Passes});
    const std::string eachWay = ", " + std::to_string(Latency / 1ms) + " ms each way";
    rows.push_back({{"Modbus/TCP" + eachWay, TOurKind::Tcp}, options.Passes});
    rows.push_back({{"RTU over TCP" + eachWay, TOurKind::RtuOverTcp}, options.Passes});
    rows.push_back({RtuLineRow("30 meters, RTU 19200 baud, one cycle", 19200, Units(30)), options.Cycles});
    return rows;
}

std::vector<rResult> MeasureAll(const TBanks& banks, const rOptions& options)
{
    std::vector<rResult> all;
    for (const auto& [row, passes] : Rows(options)) {
        const std::vector<rResult> results = Measure(row, banks, passes);
        all.insert(all.end(), results.begin(), results.end());
    }
    return all;
}

// ---- The line relay's own timing ------------------------------------------

// The longest RTU frame, written at once into the relay: its last byte
// should reach the far end 256 character times later.
void CheckLineRelay(uint32_t baud)
{
    constexpr int Bytes = 256;
    TPtyLine far;
    TLineRelay relay(far.SlavePath(), baud);
    const TUniqueFd near = OpenRawTty(relay.ClientPath());
    const std::vector<uint8_t> frame(Bytes, 0x55);
    const TMonotonic t0 = MonotonicNow();
    Check(::write(near.Get(), frame.data(), frame.size()) == Bytes, "a write into the line relay");
    uint8_t buffer[Bytes];
    for (int got = 0; got < Bytes;) {
        const ssize_t n = ::read(far.Master(), buffer, sizeof buffer);
        Check(n > 0, "a read from the line relay");
        got += static_cast<int>(n);
    }
    const double took = Seconds(MonotonicNow() - t0);
    const double line = Bytes * Seconds(relay.CharacterTime());
    std::printf("line relay at %u baud, its threads at %s: %d characters written at once reached the far end"
                " in %.3f ms, their line time %.3f ms: %+.1f us\n",
                baud, relay.RealTime() ? "real-time priority" : "normal priority (no permission for real-time)",
                Bytes, took * 1e3, line * 1e3, (took - line) * 1e6);
    PrintRelayLateness(Summarize(relay.Lateness()), relay.CharacterTime());
}

void PrintBanks(const TBanks& banks, const rOptions& options)
{
    std::printf("read-all pass: %zu banks, function 3 each:", banks.size());
    for (const TRegisterBankEntry& bank : banks)
        std::printf(" %s %d-%d;", qPrintable(bank.Name), bank.Start, bank.End);
    std::printf(" %d bytes on the line\nmedian of %d passes per master (30 meters: of %d cycles), after one not"
                " counted\n\n",
                PassBytes(banks), options.Passes, options.Cycles);
}

std::vector<uint32_t> BaudList(const std::string& text)
{
    std::vector<uint32_t> bauds;
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        bauds.push_back(static_cast<uint32_t>(std::atol(text.substr(from, comma - from).c_str())));
        from = comma + 1;
    }
    return bauds;
}

rOptions ParseOptions(int argc, char** argv)
{
    rOptions options;
    if (argc > 1)
        options.Passes = std::atoi(argv[1]);
    if (argc > 2)
        options.Cycles = std::atoi(argv[2]);
    if (argc > 3)
        options.Bauds = BaudList(argv[3]);
    Check(options.Passes > 0 && options.Cycles > 0, "passes and cycles are positive");
    for (const uint32_t baud : options.Bauds)
        RateOf(baud);
    return options;
}

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const rOptions options = ParseOptions(argc, argv);
    const TBanks banks = ActiveBanks(QDir(KELVANE_DATA_DIR).filePath("RegisterBanks.ini"));
    PrintBanks(banks, options);
    for (const uint32_t baud : options.Bauds)
        CheckLineRelay(baud);
    std::fflush(stdout);
    const std::vector<rResult> results = MeasureAll(banks, options);
    PrintTable(results);
    PrintDetails(results);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
