// kelvane-log as a Modbus/TCP gateway to a meter on an RTU line at 19200
// baud, against the same line used straight by a master of its own, each
// figure beside its goal with a PASS or FAIL word; the exit status is 1 when
// a goal is missed.
//
// Two simulators serve unit 1, each on an emulated RS-485 line at 19200
// baud (TLineRelay: each character delivered when its last bit would
// arrive). The real kelvane-log --site --serve runs as a child process on
// one line; on the other, a master straight on the line, the meter link
// TKelvane with the logger's own link settings (replies end at their
// length; the Modbus serial line's pause of 3.5 characters kept before each
// request), is the peer. The request is the same on both: function 3, the
// two registers of one float at 768. The gateway's clients are libmodbus
// Modbus/TCP clients on 127.0.0.1.
//
//  1. The time of one request: from the client's send to its reply, through
//     the gateway (client -> kelvane-log -> line -> meter -> back) and
//     straight on the line, taken in turn, pair after pair, each after a
//     random pause of 5 to 15 ms, so that the line is quiet before each (no
//     pause between frames is due) and both meet the machine in the same
//     state. The logger's site reads the meter every hour: after its first
//     pass, which the benchmark waits for, the line is the gateway's alone
//     during the measurement. The goal: the gateway's median at most 1 ms
//     above the line's own, which must be within 11 % of the time of the
//     line's bytes (else it did not measure the line).
//  2. Requests a second through the one link, 16 clients at once, each with
//     one request outstanding and sending the next as soon as its reply is
//     in, against the line's limit: the rate of the master alone straight
//     on its line, back to back, in blocks of 5 s taken in turn with the
//     gateway's. The goal: at most 1 ms a request of the gateway's own, a
//     rate of at least the line's limit x P / (P + 1 ms), P the line's time
//     a request; no client ever refused busy; and the master alone
//     within 90 % of the line's rate by its bytes and pauses, without which
//     the limit measured is not the line's.
//  3. The time of one request, as in 1, with the logger polling the meter
//     without a pause (an interval of 0.1 s, which its pass overruns): a
//     request waits for the logger's exchange on the line. The goal: none
//     waits longer than one meter pass plus its own exchange.
//
// Each spread of request times counts those longer than the link's wait for
// a reply (500 ms): a serial link that lost a reply guards the line before
// it sends again, and a machine too busy to run the emulated line in time
// loses frames. The master straight on the line opens it afresh after a
// failed request, so that its guard is not taken for the line's time; the
// gateway's link has no such help, and what its guard costs shows.
//
// Usage: gateway_bench [pairs of requests for 1] [rounds of blocks for 2]
// The defaults, 300 and 3, run for a little over a minute; 3 takes half
// the pairs of 1.

#include "BenchMain.h"
#include "KelvaneCOM.h"
#include "LineRelay.h"
#include "LoggerFigures.h"
#include "LoggerOptions.h"
#include "ReadAllPass.h"
#include "SerialFrame.h"
#include "SimProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <modbus/modbus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint32_t LineBaud = 19200;
constexpr uint8_t Unit = 1;
constexpr int FirstRegister = 768; // one float: two holding registers
constexpr int Registers = 2;
constexpr double OwnLimit = 1e-3;  // seconds of the gateway's own a request
constexpr int Clients = 16;
constexpr TMonotonic Block = 5s;         // each block of the rate's measurement counts this long...
constexpr TMonotonic BlockStart = 500ms; // ...after a start that is not counted
constexpr int Unmeasured = 5;      // requests each before the pairs
constexpr auto Idle = "3600";      // seconds between the logger's passes
constexpr auto Continuous = "0.1";

// ---- The lines ------------------------------------------------------------

// A simulator serving unit 1 behind a line of its own.
struct rMeterLine {
    rMeterLine()
        : Sim(KELVANE_SIM_PATH, {"--rtu", "--baud", std::to_string(LineBaud), "--units", std::to_string(Unit)}),
          Line(Sim.RtuPath(), LineBaud)
    {
    }
    TSimProcess Sim;
    TLineRelay Line;
};

// The bytes of the request and of its reply, at 10 bits a character.
double LineTime(const TLineRelay& line)
{
    constexpr int bytes = 8 + 5 + 2 * Registers;
    return bytes * Seconds(line.CharacterTime());
}

// The pause of 3.5 characters a master keeps before a request.
double FrameGap()
{
    const TLineTiming timing{LineBaud, TDataBits::db8, TParityScheme::psNone, TStopBits::sb1};
    return InterFrameGapUs(TTransmissionMode::tmRTU, timing) * 1e-6;
}

// ---- The masters ----------------------------------------------------------

// The master straight on the line: the meter link as the logger sets it up.
// After a request that failed it opens the line afresh: a serial link that
// lost a reply guards the line before each repeat of that request for two
// waits for a reply, and here the same request is repeated again and
// again; the time of that guard is the link's, not the line's.
class TLineMaster {
public:
    explicit TLineMaster(const std::string& port) : port_(port) { Open(); }

    // The reason a request got no reply of the registers, or nothing.
    std::string Read()
    {
        static const bool never = false;
        static const QByteArray pdu("\x03\x03\x00\x00\x02", 5);
        const TKelvane::TForwarded forwarded = link_->Forward(Unit, pdu, never);
        std::string failure;
        if (forwarded.Exchange.Result != 0)
            failure = TKelvane::ErrorCode(forwarded.Exchange.Result).toStdString();
        else if (forwarded.Reply.size() != 2 + 2 * Registers || forwarded.Reply[0] != 3)
            failure = "not a reply of the registers";
        if (!failure.empty())
            Open();
        return failure;
    }

private:
    void Open()
    {
        link_.reset();
        link_ = std::make_unique<TKelvane>(QString::fromStdString(port_), TLinkKind::Serial, TKelvane::TOpen::Later);
        link_->SetBaudRate(TBaudRate::br19200);
        TLoggerOptions{}.Link.Apply(*link_);
        link_->SetActive(true);
        Check(link_->Active(), "the line master opens " + port_ + ": " + link_->LastOpenError().toStdString());
    }

    std::string port_;
    std::unique_ptr<TKelvane> link_;
};

// A Modbus/TCP client of the gateway, connected.
class TGatewayClient {
public:
    explicit TGatewayClient(uint16_t port) : ctx_(modbus_new_tcp("127.0.0.1", port))
    {
        Check(ctx_ != nullptr && modbus_connect(ctx_) == 0,
              std::string("a client connects to the gateway: ") + modbus_strerror(errno));
        modbus_set_slave(ctx_, Unit);
        modbus_set_response_timeout(ctx_, 5, 0);
    }
    ~TGatewayClient()
    {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    TGatewayClient(const TGatewayClient&) = delete;
    TGatewayClient& operator=(const TGatewayClient&) = delete;

    // The reason a request failed, or nothing.
    std::string Read()
    {
        uint16_t values[Registers];
        return modbus_read_registers(ctx_, FirstRegister, Registers, values) == Registers ? std::string()
                                                                                            : modbus_strerror(errno);
    }

private:
    modbus_t* ctx_;
};

// Requests that failed: straight on the line, a busy machine's (a meter
// or a relay that did not get a core in time); through the gateway, also a
// refusal.
struct rFailures {
    int Count = 0;
    int Busy = 0; // answered exception 6, the link's queue full
    std::string First;

    void Note(const std::string& failure)
    {
        if (failure.empty())
            return;
        if (Count++ == 0)
            First = failure;
        Busy += failure == modbus_strerror(EMBXSBUSY) ? 1 : 0;
    }
    void Add(const rFailures& other)
    {
        if (Count == 0)
            First = other.First;
        Count += other.Count;
        Busy += other.Busy;
    }
    std::string Text() const { return std::to_string(Count) + (Count > 0 ? " (the first: " + First + ")" : ""); }
};

// Each request's seconds, those that got their reply, from the send to the
// reply.
template <class TMaster>
void TimedRequest(TMaster& master, std::vector<double>& times, rFailures& failures)
{
    const TMonotonic start = MonotonicNow();
    const std::string failure = master.Read();
    const TMonotonic end = MonotonicNow();
    failures.Note(failure);
    if (failure.empty())
        times.push_back(Seconds(end - start));
}

// ---- The logger -----------------------------------------------------------

// kelvane-log serving the meter of a line, which it reads at an interval,
// once its gateway listens and its first pass is logged.
class TGatewayLogger {
public:
    TGatewayLogger(const std::string& port, const char* interval, const QTemporaryDir& dir)
        : records_(dir.filePath(QString("records-%1.csv").arg(interval))), port_(FreePort()),
          messages_(dir.filePath(QString("kelvane-log-%1.stderr").arg(interval)).toStdString())
    {
        const QString site = dir.filePath(QString("site-%1.ini").arg(interval));
        WriteFile(site, QString("[Meter]\nLink=rtu:%1:%2\nAddress=%3\nInterval=%4\nFile=%5\n")
                            .arg(QString::fromStdString(port)).arg(LineBaud).arg(Unit).arg(interval, records_));
        process_ = std::make_unique<TLoggerProcess>(
            KELVANE_LOG_PATH,
            std::vector<std::string>{"--site", site.toStdString(), "--banks", KELVANE_BANKS_PATH, "--serve",
                                     "127.0.0.1:" + std::to_string(port_)},
            messages_);
        for (const TMonotonic deadline = MonotonicNow() + 30s; Records() < 1 || !Listening(port_);) {
            Check(process_->Running() && MonotonicNow() < deadline,
                  "kelvane-log serves and logs its first pass: " +
                      ReadAll(QString::fromStdString(messages_)).toStdString());
            std::this_thread::sleep_for(20ms);
        }
    }

    uint16_t Port() const { return port_; }
    int Records() const { return QFile::exists(records_) ? ::Records(records_) : 0; }
    void CheckRunning() const
    {
        Check(process_->Running(), "kelvane-log runs: " + ReadAll(QString::fromStdString(messages_)).toStdString());
    }

private:
    QString records_;
    uint16_t port_;
    std::string messages_;
    std::unique_ptr<TLoggerProcess> process_;
};

// ---- Figures --------------------------------------------------------------

struct rSpread {
    double Median = 0, P95 = 0, Max = 0;
    // Longer than the link's wait for a reply: held up by the guard a
    // serial master keeps after a reply that never came, before it sends
    // again, or by a machine that gave the line no core.
    long Slow = 0;
};

rSpread Spread(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const double timeout = TLoggerOptions{}.Link.ReceiveTimeoutMs * 1e-3;
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 95 / 100)], v.back(),
            std::count_if(v.begin(), v.end(), [timeout](double t) { return t > timeout; })};
}

void PrintSpread(const char* name, const rSpread& s)
{
    std::printf("  %-27s median %7.2f ms, 95th percentile %7.2f ms, max %7.2f ms, %ld longer than %d ms\n", name,
                s.Median * 1e3, s.P95 * 1e3, s.Max * 1e3, s.Slow, TLoggerOptions{}.Link.ReceiveTimeoutMs);
}

struct rPairs {
    std::vector<double> Line, Gateway;
    rFailures LineFailures, GatewayFailures;
};

// Requests straight on the line and through the gateway in turn, each
// after a random pause.
rPairs TimedPairs(TLineMaster& master, TGatewayClient& client, int pairs)
{
    std::mt19937 random(31);
    std::uniform_int_distribution<int> pauseUs(5000, 15000);
    const auto pause = [&] { std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random))); };
    for (int i = 0; i < Unmeasured; ++i) {
        master.Read();
        client.Read();
    }
    rPairs times;
    for (int i = 0; i < pairs; ++i) {
        pause();
        TimedRequest(master, times.Line, times.LineFailures);
        pause();
        TimedRequest(client, times.Gateway, times.GatewayFailures);
    }
    Check(times.Line.size() * 2 > std::size_t(pairs) && times.Gateway.size() * 2 > std::size_t(pairs),
          "most requests answered: straight on the line " + std::to_string(times.Line.size()) +
              ", through the gateway " + std::to_string(times.Gateway.size()) + " of " + std::to_string(pairs));
    return times;
}

void PrintPairs(const rPairs& times)
{
    PrintSpread("straight on the line:", Spread(times.Line));
    PrintSpread("through the gateway:", Spread(times.Gateway));
    std::printf("  failed, left out: straight on the line %s; through the gateway %s\n",
                times.LineFailures.Text().c_str(), times.GatewayFailures.Text().c_str());
}

// A master straight on the line comes near the time of the line's bytes;
// one far beyond it did not measure the line.
constexpr double Near = 0.9;

// True when the gateway's median is at most 1 ms above the line's, and the
// line's was near the time of its bytes.
bool PrintRequestTime(const rPairs& times, const TLineRelay& line)
{
    const rSpread straight = Spread(times.Line), through = Spread(times.Gateway);
    const double above = through.Median - straight.Median;
    const bool lineReached = straight.Median * Near <= LineTime(line);
    const bool met = above <= OwnLimit && lineReached;
    std::printf("  bytes on the line: 8 + %d, 10 bits each: %.2f ms\n", 5 + 2 * Registers, LineTime(line) * 1e3);
    PrintPairs(times);
    std::printf("  the line's median %s within %.0f %% of its bytes' time\n", lineReached ? "is" : "is NOT",
                (1 / Near - 1) * 100);
    std::printf("  the gateway's median: %.3f x the line's, %+.2f ms above it (goal at most %.0f ms, the line's median"
                " near its bytes' time): %s\n",
                through.Median / straight.Median, above * 1e3, OwnLimit * 1e3, Verdict(met));
    std::printf("  95th percentiles: %+.2f ms\n", (through.P95 - straight.P95) * 1e3);
    return met;
}

bool MeasureRequestTime(TLineMaster& master, const TLineRelay& peerLine, const TGatewayLogger& logger, int pairs)
{
    std::fprintf(stderr, "1. %d requests straight on the line and through the gateway in turn...\n", pairs);
    TGatewayClient client(logger.Port());
    const int records = logger.Records();
    const rPairs times = TimedPairs(master, client, pairs);
    logger.CheckRunning();
    std::printf("1. One request (function 3, 2 registers) at %u baud, %d of each in turn, the logger reading the"
                " meter every %s s: %d passes during them\n",
                LineBaud, pairs, Idle, logger.Records() - records);
    return PrintRequestTime(times, peerLine);
}

// One master's requests in a block, each timed.
struct rClientRun {
    std::vector<TMonotonic> Ends;
    std::vector<double> Times;
    rFailures Failures;

    template <class TMaster>
    void Request(TMaster& master)
    {
        const std::size_t before = Times.size();
        TimedRequest(master, Times, Failures);
        if (Times.size() > before)
            Ends.push_back(MonotonicNow());
    }

    // The requests answered in [from, to), with the time each took.
    int Within(TMonotonic from, TMonotonic to, std::vector<double>& times) const
    {
        int n = 0;
        for (std::size_t i = 0; i < Ends.size(); ++i)
            if (Ends[i] >= from && Ends[i] < to) {
                times.push_back(Times[i]);
                ++n;
            }
        return n;
    }
};

struct rBlock {
    double Rate = 0; // requests answered a second
    std::vector<double> Times;
    std::vector<int> PerClient; // requests answered of each
    rFailures Failures;

    rBlock(const std::vector<rClientRun>& runs, TMonotonic from, TMonotonic to)
    {
        int total = 0;
        for (const rClientRun& run : runs) {
            PerClient.push_back(run.Within(from, to, Times));
            total += PerClient.back();
            Failures.Add(run.Failures);
        }
        Rate = total / Seconds(to - from);
    }
};

rBlock LineBlock(TLineMaster& master)
{
    std::vector<rClientRun> run(1);
    const TMonotonic from = MonotonicNow() + BlockStart, to = from + Block;
    while (MonotonicNow() < to)
        run.front().Request(master);
    return rBlock(run, from, to);
}

rBlock GatewayBlock(uint16_t port)
{
    std::vector<std::unique_ptr<TGatewayClient>> clients;
    for (int i = 0; i < Clients; ++i)
        clients.push_back(std::make_unique<TGatewayClient>(port));
    std::vector<rClientRun> runs(Clients);
    std::atomic<bool> stop{false};
    const TMonotonic from = MonotonicNow() + BlockStart, to = from + Block;
    std::vector<std::thread> threads;
    for (int i = 0; i < Clients; ++i)
        threads.emplace_back([&, i] {
            while (!stop)
                runs[i].Request(*clients[i]);
        });
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(to));
    stop = true;
    for (std::thread& t : threads)
        t.join();
    return rBlock(runs, from, to);
}

struct rBlocks {
    std::vector<double> Rates, Times;
    rFailures Failures;
    int Fewest = 1 << 30, Most = 0; // requests of one client in a block

    explicit rBlocks(const std::vector<rBlock>& blocks)
    {
        for (const rBlock& b : blocks) {
            Rates.push_back(b.Rate);
            Times.insert(Times.end(), b.Times.begin(), b.Times.end());
            Failures.Add(b.Failures);
            Fewest = std::min(Fewest, *std::min_element(b.PerClient.begin(), b.PerClient.end()));
            Most = std::max(Most, *std::max_element(b.PerClient.begin(), b.PerClient.end()));
        }
    }
};

// The most requests a second the line carries: each request and reply, and
// the pause of 3.5 characters before the next request.
double LineRate(const TLineRelay& line)
{
    return 1 / (LineTime(line) + FrameGap());
}

// True when the gateway keeps within 1 ms a request of the line's limit and
// refused no client, and the master straight on the line came near the
// line's rate: a limit far below it was not the line's and makes the ratio
// worthless.
bool PrintRate(const rBlocks& line, const rBlocks& gateway, const TLineRelay& peerLine)
{
    const double limit = Median(line.Rates), rate = Median(gateway.Rates);
    const double period = 1 / limit, goal = limit * period / (period + OwnLimit);
    const bool lineReached = limit >= Near * LineRate(peerLine);
    const bool met = rate >= goal && gateway.Failures.Busy == 0 && lineReached;
    std::printf("  the line's rate by its bytes and pauses: %.1f requests a second\n", LineRate(peerLine));
    std::printf("  the line's limit, one master straight on it: %.1f requests a second, one every %.2f ms (%s %.0f %%"
                " of the line's rate)\n",
                limit, period * 1e3, lineReached ? "at least" : "NOT EVEN", Near * 100);
    PrintSpread("its requests:", Spread(line.Times));
    std::printf("  through the gateway, %d clients: %.1f requests a second, one every %.2f ms (%+.2f ms)\n", Clients,
                rate, 1e3 / rate, (1 / rate - period) * 1e3);
    PrintSpread("each client's requests:", Spread(gateway.Times));
    std::printf("  requests of one client in a block: %d to %d\n", gateway.Fewest, gateway.Most);
    std::printf("  failed: straight on the line %s; through the gateway %s, %d of them refused busy\n",
                line.Failures.Text().c_str(), gateway.Failures.Text().c_str(), gateway.Failures.Busy);
    std::printf("  the gateway's rate: %.3f x the line's limit (goal at least %.3f x, at most %.0f ms a request of"
                " its own, none refused busy, the line's limit reached): %s\n",
                rate / limit, goal / limit, OwnLimit * 1e3, Verdict(met));
    return met;
}

bool MeasureRate(TLineMaster& master, const TLineRelay& peerLine, const TGatewayLogger& logger, int rounds)
{
    std::fprintf(stderr, "2. %d rounds of %.0f s straight on the line and %.0f s through the gateway...\n", rounds,
                 Seconds(Block), Seconds(Block));
    std::vector<rBlock> line, gateway;
    const int records = logger.Records();
    for (int i = 0; i < rounds; ++i) {
        line.push_back(LineBlock(master));
        gateway.push_back(GatewayBlock(logger.Port()));
    }
    logger.CheckRunning();
    std::printf("\n2. Requests a second through one RTU link at %u baud, %d clients at once, each with one request"
                " outstanding, against the line's limit: medians of %d blocks of %.0f s each, taken in turn; the"
                " logger reading the meter every %s s: %d passes during them\n",
                LineBaud, Clients, rounds, Seconds(Block), Idle, logger.Records() - records);
    return PrintRate(rBlocks(line), rBlocks(gateway), peerLine);
}

// One meter pass of the logger on the line: its requests and replies and
// the pauses between them.
double PassTime(const TLineRelay& line)
{
    const TBanks banks = ActiveBanks(KELVANE_BANKS_PATH);
    return PassBytes(banks) * Seconds(line.CharacterTime()) + double(banks.size()) * FrameGap();
}

bool MeasureWhilePolling(TLineMaster& master, const TLineRelay& peerLine, const TGatewayLogger& logger, int pairs)
{
    std::fprintf(stderr, "3. %d requests in turn with the logger polling...\n", pairs);
    TGatewayClient client(logger.Port());
    const int records = logger.Records();
    const TMonotonic start = MonotonicNow();
    const rPairs times = TimedPairs(master, client, pairs);
    const double took = Seconds(MonotonicNow() - start);
    const int passes = logger.Records() - records;
    logger.CheckRunning();
    const rSpread straight = Spread(times.Line), through = Spread(times.Gateway);
    const double bound = PassTime(peerLine) + straight.Max;
    const bool met = through.Max <= bound;
    std::printf("\n3. One request as in 1, the logger polling the meter without a pause (interval %s s): %d passes"
                " in %.1f s, one every %.0f ms\n",
                Continuous, passes, took, passes > 0 ? took / passes * 1e3 : 0.0);
    PrintPairs(times);
    std::printf("  the gateway's median %+.2f ms above the line's; its longest %.2f ms (goal at most one meter pass"
                " on the line, %.2f ms, plus its own exchange, %.2f ms at the longest): %s\n",
                (through.Median - straight.Median) * 1e3, through.Max * 1e3, PassTime(peerLine) * 1e3,
                straight.Max * 1e3, Verdict(met && passes > 0));
    return met && passes > 0;
}

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 300;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    Check(pairs >= 20 && rounds > 0, "20 pairs or more and a round or more");
    const rMeterLine peer, logged;
    const QTemporaryDir dir;
    TLineMaster master(peer.Line.ClientPath());
    bool met = true;
    {
        const TGatewayLogger logger(logged.Line.ClientPath(), Idle, dir);
        met = MeasureRequestTime(master, peer.Line, logger, pairs) && met;
        std::fflush(stdout);
        met = MeasureRate(master, peer.Line, logger, rounds) && met;
        std::fflush(stdout);
    }
    {
        const TGatewayLogger logger(logged.Line.ClientPath(), Continuous, dir);
        met = MeasureWhilePolling(master, peer.Line, logger, pairs / 2) && met;
    }
    std::printf("\nthe lines:\n");
    PrintRelayLateness(Summarize(peer.Line.Lateness()), peer.Line.CharacterTime());
    PrintRelayLateness(Summarize(logged.Line.Lateness()), logged.Line.CharacterTime());
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
