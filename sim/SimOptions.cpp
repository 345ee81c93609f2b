#include "SimOptions.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace {

std::optional<long> ParseNumber(const std::string& text, long min, long max)
{
    long v = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc{} || ptr != end || v < min || v > max)
        return std::nullopt;
    return v;
}

std::optional<std::vector<uint8_t>> ParseUnits(const std::string& text)
{
    std::vector<uint8_t> units;
    size_t from = 0;
    while (true) {
        const size_t comma = text.find(',', from);
        const auto unit = ParseNumber(text.substr(from, comma - from), 1, 247);
        if (!unit)
            return std::nullopt;
        if (std::find(units.begin(), units.end(), *unit) != units.end())
            return std::nullopt;
        units.push_back(static_cast<uint8_t>(*unit));
        if (comma == std::string::npos)
            return units;
        from = comma + 1;
    }
}

// "PERCENT:MIN-MAX", e.g. "30:450-1200".
std::optional<rLateReplies> ParseLate(const std::string& text)
{
    const size_t colon = text.find(':');
    const size_t dash = text.find('-', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || dash == std::string::npos)
        return std::nullopt;
    const auto percent = ParseNumber(text.substr(0, colon), 0, 100);
    const auto min = ParseNumber(text.substr(colon + 1, dash - colon - 1), 0, 60000);
    const auto max = ParseNumber(text.substr(dash + 1), 0, 60000);
    if (!percent || !min || !max || *min > *max)
        return std::nullopt;
    return rLateReplies{static_cast<int>(*percent), static_cast<int>(*min), static_cast<int>(*max)};
}

} // namespace

std::string SimUsage()
{
    return "Usage: kelvane-sim [options]\n"
           "Simulates Kelvane three-phase power transducers on a Modbus/TCP server, on a\n"
           "Modbus RTU line (a pseudo-terminal), on Modbus RTU over TCP, or on several of\n"
           "them at once.\n"
           "\n"
           "  --units LIST         unit ids 1...247, comma separated (default 1); each is a\n"
           "                       meter of its own with serial number 10000 + unit id.\n"
           "                       Every transport serves the same meters.\n"
           "\n"
           "Transports: without --rtu and --rtu-over-tcp only Modbus/TCP is served. Those\n"
           "two serve only what they name, unless a Modbus/TCP switch is given too: then\n"
           "Modbus/TCP is served as well. --tcp and --port always ask for it; --host and\n"
           "--max-clients ask for it only without --rtu-over-tcp, since they apply to its\n"
           "port too.\n"
           "\n"
           "Modbus/TCP:\n"
           "  --tcp                serve Modbus/TCP (the default without --rtu and\n"
           "                       --rtu-over-tcp)\n"
           "  --host ADDR          address to listen on, for every TCP port (default\n"
           "                       127.0.0.1)\n"
           "  --port N             TCP port (default 1502; 0 picks a free port)\n"
           "  --max-clients N      connections served at once on each TCP port (default\n"
           "                       64); further ones are accepted and closed at once\n"
           "  A request to another unit id is answered with exception 11 (gateway target\n"
           "  device failed to respond); unit 0 is the meter when there is only one.\n"
           "\n"
           "Modbus RTU:\n"
           "  --rtu                serve Modbus RTU on a new pseudo-terminal and print the\n"
           "                       path of its slave side (\"/dev/pts/N\"), the port to open\n"
           "  --link PATH          also make PATH a symbolic link to that slave (a link\n"
           "                       already there is replaced, any other file is refused);\n"
           "                       it is removed at exit\n"
           "  --baud N             the line's baud rate, 8 data bits, no parity, 1 stop bit\n"
           "                       (default 19200): it sets the silence that ends a request\n"
           "                       (RTU over TCP too)\n"
           "  A request ends when its function's length is in, or at that silence. A frame\n"
           "  with a wrong CRC and a request to another unit id get no reply; a write to\n"
           "  unit 0 (broadcast) is executed by every meter, without a reply.\n"
           "\n"
           "Modbus RTU over TCP:\n"
           "  --rtu-over-tcp N     serve RTU frames (address, PDU, CRC, as on the line) on\n"
           "                       TCP port N, as a serial device server in transparent\n"
           "                       mode passes them on (0 picks a free port); it listens on\n"
           "                       --host and takes --max-clients connections\n"
           "  Each connection is a bus of its own and the meters behave as on the line\n"
           "  above: its requests are delimited the same way, and a wrong CRC or another\n"
           "  unit id gets no reply (not exception 11); the connection stays open.\n"
           "\n"
           "Fault injection (requests are counted over all clients, units and transports):\n"
           "  --delay MS           send each reply MS milliseconds late (0...60000)\n"
           "  --late P:MIN-MAX     RTU line: send P percent of the replies, picked at\n"
           "                       random, a random MIN...MAX ms late (after --delay);\n"
           "                       replies keep their order, so one that waits behind a\n"
           "                       late reply follows it\n"
           "  --drop-every N       send no reply to every Nth request\n"
           "  --exception-every N  answer every Nth request with exception 4\n"
           "  --corrupt-every N    corrupt every Nth reply, alternately with a wrong\n"
           "                       function code and with a byte count (writes: an echoed\n"
           "                       address) that does not match the frame\n"
           "  --wrong-unit         answer with unit id + 1\n"
           "\n"
           "Wiring faults (every meter measures through the same wrong connection; the\n"
           "energy registers keep counting the load itself; L1, L2 and L3 are the phases\n"
           "A, B and C):\n"
           "  --wiring NAME        healthy (default), reversed-ct-l2 (CT of L2 reversed:\n"
           "                       its W, VAR and PF negative unless the configuration\n"
           "                       word forces them absolute), no-current-l3, no-voltage-l1,\n"
           "                       unbalance (L2 at 88% of the others' voltage and 7% of\n"
           "                       their current), crossed-voltage (the L3 voltage\n"
           "                       input on L2), ct-wrong-phase (CTs of L2 and L3 swapped),\n"
           "                       frequency (42 Hz)\n"
           "\n"
           "  --help               show this text\n"
           "\n"
           "Registers (0-based): 2...33 integer measurements, 128...162 configuration\n"
           "(writable except 133, which reads 12345), 512...584 measurement block (writable),\n"
           "768...887 the 60 logged quantities as floats. Reads reach up to 1023.\n"
           "Functions 3, 4 (mirrors 3), 6, 16 and 17 (report server ID: ID byte 0x4B, run\n"
           "status 0xFF and the model text with serial number and firmware version).\n"
           "Stops on SIGINT and SIGTERM. Exit status: 0 done, 1 cannot listen, create the\n"
           "line or its link, 2 bad usage.\n";
}

rSimOptionsResult ParseSimOptions(const std::vector<std::string>& args)
{
    rSimOptionsResult r;
    rSimOptions& o = r.Options;
    bool tcpAsked = false;      // --tcp, --port
    bool listenerAsked = false; // --host, --max-clients
    bool linkAsked = false;
    bool baudAsked = false;

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }

        if (name == "--tcp" || name == "--port")
            tcpAsked = true;
        if (name == "--host" || name == "--max-clients")
            listenerAsked = true;
        if (name == "--link")
            linkAsked = true;
        if (name == "--baud")
            baudAsked = true;

        const auto flag = [&] {
            if (inlineValue)
                r.Error = name + " takes no value";
            return !inlineValue;
        };
        const auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 >= args.size()) {
                r.Error = name + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        const auto number = [&](long min, long max) -> std::optional<long> {
            const auto text = value();
            if (!text)
                return std::nullopt;
            const auto n = ParseNumber(*text, min, max);
            if (!n)
                r.Error = name + ": '" + *text + "' is not a number from " + std::to_string(min) + " to "
                          + std::to_string(max);
            return n;
        };

        if (name == "--help" || name == "-h") {
            if (!flag())
                return r;
            o.Help = true;
        } else if (name == "--wrong-unit") {
            if (!flag())
                return r;
            o.Faults.WrongUnit = true;
        } else if (name == "--rtu") {
            if (!flag())
                return r;
            o.Rtu = true;
        } else if (name == "--tcp") {
            if (!flag())
                return r;
        } else if (name == "--link") {
            const auto text = value();
            if (!text)
                return r;
            if (text->empty()) {
                r.Error = "--link needs a path";
                return r;
            }
            o.Link = *text;
        } else if (name == "--host") {
            const auto text = value();
            if (!text)
                return r;
            if (text->empty()) {
                r.Error = "--host needs an address";
                return r;
            }
            o.Host = *text;
        } else if (name == "--late") {
            const auto text = value();
            if (!text)
                return r;
            const auto late = ParseLate(*text);
            if (!late) {
                r.Error = "--late: '" + *text + "' is not PERCENT:MIN-MAX (0...100, 0...60000 ms, MIN <= MAX)";
                return r;
            }
            o.Late = *late;
        } else if (name == "--wiring") {
            const auto text = value();
            if (!text)
                return r;
            const auto wiring = WiringFromName(*text);
            if (!wiring) {
                r.Error = "--wiring: '" + *text + "' is not one of " + WiringNames();
                return r;
            }
            o.Wiring = *wiring;
        } else if (name == "--units") {
            const auto text = value();
            if (!text)
                return r;
            const auto units = ParseUnits(*text);
            if (!units) {
                r.Error = "--units: '" + *text + "' is not a list of distinct unit ids from 1 to 247";
                return r;
            }
            o.Units = *units;
        } else {
            struct rNumeric {
                const char* Name;
                long Min, Max;
                int* Target;
            };
            int port = -1;
            int rtuOverTcpPort = -1;
            const rNumeric numerics[] = {
                {"--port", 0, 65535, &port},
                {"--rtu-over-tcp", 0, 65535, &rtuOverTcpPort},
                {"--delay", 0, 60000, &o.DelayMs},
                {"--max-clients", 1, 1024, &o.MaxClients},
                {"--drop-every", 1, 1000000, &o.Faults.DropEvery},
                {"--exception-every", 1, 1000000, &o.Faults.ExceptionEvery},
                {"--corrupt-every", 1, 1000000, &o.Faults.CorruptEvery},
                {"--baud", 50, 4000000, &o.Baud},
            };
            const auto it = std::find_if(std::begin(numerics), std::end(numerics),
                                         [&](const rNumeric& n) { return name == n.Name; });
            if (it == std::end(numerics)) {
                r.Error = "unknown option '" + args[i] + "' (see --help)";
                return r;
            }
            const auto n = number(it->Min, it->Max);
            if (!n)
                return r;
            *it->Target = static_cast<int>(*n);
            if (port >= 0)
                o.Port = static_cast<uint16_t>(port);
            if (rtuOverTcpPort >= 0)
                o.RtuOverTcpPort = static_cast<uint16_t>(rtuOverTcpPort);
        }
    }
    if (linkAsked && !o.Rtu)
        r.Error = "--link needs --rtu";
    if (baudAsked && !o.Rtu && !o.RtuOverTcpPort)
        r.Error = "--baud needs --rtu or --rtu-over-tcp";
    const bool otherTransport = o.Rtu || o.RtuOverTcpPort;
    o.Tcp = !otherTransport || tcpAsked || (listenerAsked && !o.RtuOverTcpPort);
    return r;
}
