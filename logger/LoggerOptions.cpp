#include "LoggerOptions.h"

#include "IniFile.h"
#include "LogSettings.h"
#include "ModbusConnection.h"
#include "TcpSocket.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

namespace {

// A refused switch value; the message names the switch.
struct TRefusal {
    QString Message;
};

const QList<QCommandLineOption>& Switches()
{
    static const QList<QCommandLineOption> switches{
        {"ip", "Read the meter over Modbus/TCP at this IP address.", "address"},
        {"rtu-over-tcp", "Read the meter over Modbus RTU through a serial device server in transparent mode "
                         "at this IP address; its TCP port may follow after a colon ([ADDRESS]:PORT for an "
                         "IPv6 address), else --tcp-port gives it.", "address[:port]"},
        {"tcp-port", "TCP port of the meter or device server (1-65535, default 502).", "port"},
        {"port", "Read the meter over Modbus RTU on this serial port (a device path such as "
                 "/dev/serial/by-id/..., or a name under /dev).", "device"},
        {"baud", "Serial line speed (default 9600; 8 data bits, no parity, 1 stop bit). With "
                 "--rtu-over-tcp: the speed of the meter's line behind the device server, which times "
                 "the silence after a reply.", "rate"},
        {"address", "Modbus address of the meter (1-247, default 1).", "n"},
        {"interval", "Seconds between two records (0.1-86400, fractions allowed; default 60).", "seconds"},
        {"timeout", QString("Wait for each reply of the meter, in milliseconds (%1-%2, default %3).")
                        .arg(TLinkSettings::MinReceiveTimeoutMs)
                        .arg(TLinkSettings::MaxReceiveTimeoutMs)
                        .arg(TLinkSettings{}.ReceiveTimeoutMs),
         "ms"},
        {"tries", QString("Tries of each register bank before a pass gives up on it (%1-%2, default %3).")
                      .arg(TLinkSettings::MinTries)
                      .arg(TLinkSettings::MaxTries)
                      .arg(TLinkSettings{}.Tries),
         "n"},
        {"echo", "The adapter echoes what it sends (some RS-485 adapters do): each reply comes after an "
                 "echo of the request."},
        {"end-at-silence", "End each RTU reply after the silence that follows it, as the desktop utility "
                           "does unless told otherwise, instead of as soon as its length is in and its CRC "
                           "checks."},
        {"connection-per-request", "Connect to the meter or device server for each request, as the desktop "
                                   "utility does unless told otherwise, instead of keeping one TCP connection "
                                   "open (a lost one is made again, after a growing pause while it fails)."},
        {"file", "The log file (default log.csv beside the program, or in KELVANE_HOME).", "path"},
        {"params", "The quantities to log: all, or a list of indices 0-59 and ranges such as 0,8,16-18 "
                   "(default all).", "all|list"},
        {"settings", "Take the connection, the link settings and the \"Logging\" section from this "
                     "kelvane.ini; the other switches override it, and a key it lacks keeps kelvane-log's "
                     "default.", "file"},
        {"banks", "The register banks to read (default RegisterBanks.ini beside the program).", "file"},
        {"once", "Read the meter once, print the quantities as a table and exit: status 0 when the "
                 "meter answered every bank, 1 when not."},
        {"csv", "With --once: print the log file's header and record instead of a table."},
        {"help", "Show this help and exit."},
    };
    return switches;
}

QString Usage()
{
    QCommandLineParser parser;
    parser.addOptions(Switches());
    parser.setApplicationDescription(
        "Logs the measurements of a Kelvane power meter to a delimited text file, one record per "
        "interval, in the format of the Kelvane utility's data log. Messages go to stderr, one line "
        "each, among them each change of a kept TCP connection (made, lost, refused). SIGTERM or "
        "SIGINT ends the run after the record being written. Exit status: 0 done, 1 the meter or the "
        "log could not be used, 2 a switch was refused or the log file is not a regular file (a FIFO, "
        "a device or a directory).");
    return parser.helpText();
}

// text: the value of switch name, or the part of it that is a number.
int IntegerText(const QString& name, const QString& text, int low, int high)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < low || value > high)
        throw TRefusal{QString("--%1: \"%2\" is not a whole number from %3 to %4").arg(name, text).arg(low).arg(high)};
    return value;
}

int IntegerValue(const QCommandLineParser& parser, const QString& name, int low, int high)
{
    return IntegerText(name, parser.value(name), low, high);
}

// Names are not looked up: a lookup could hold the logger for seconds.
QString AddressText(const QString& name, const QString& text)
{
    if (!TTcpSocket::IsAddress(text.trimmed().toStdString()))
        throw TRefusal{QString("--%1: \"%2\" is not an IP address").arg(name, text)};
    return text.trimmed();
}

// "ADDRESS", "ADDRESS:PORT", or "[ADDRESS]:PORT" for an IPv6 address, whose
// own colons would otherwise be taken for the port's.
std::pair<QString, std::optional<QString>> SplitHostPort(const QString& text)
{
    static const QRegularExpression form(R"(^\[([^\]]*)\](?::(.*))?$|^([^:]*):(.*)$)");
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return {text, std::nullopt};
    if (match.capturedStart(1) >= 0)
        return {match.captured(1), match.capturedStart(2) >= 0 ? std::optional(match.captured(2)) : std::nullopt};
    return {match.captured(3), match.captured(4)};
}

void ApplyDeviceServer(const QCommandLineParser& parser, TLoggerOptions& options)
{
    const auto [host, port] = SplitHostPort(parser.value("rtu-over-tcp"));
    options.Kind = TLinkKind::RtuOverTcp;
    options.Target = AddressText("rtu-over-tcp", host);
    if (!port)
        return;
    if (parser.isSet("tcp-port"))
        throw TRefusal{"--rtu-over-tcp: a TCP port after the address and --tcp-port as well; give the port once"};
    options.TcpPort = IntegerText("rtu-over-tcp", *port, 1, 65535);
}

TBaudRate BaudValue(const QCommandLineParser& parser)
{
    bool ok = false;
    const uint32_t rate = parser.value("baud").trimmed().toUInt(&ok);
    for (int r = int(TBaudRate::br110); ok && r < int(TBaudRate::brCustom); ++r)
        if (BaudRateValue(TBaudRate(r), 0) == rate)
            return TBaudRate(r);
    throw TRefusal{QString("--baud: \"%1\" is not a line speed of the serial port (110 to 256000 baud, "
                           "such as 9600, 19200, 38400, 57600 or 115200)")
                       .arg(parser.value("baud"))};
}

std::chrono::milliseconds IntervalValue(const QCommandLineParser& parser)
{
    bool ok = false;
    const double seconds = parser.value("interval").trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < MinIntervalSeconds || seconds > MaxIntervalSeconds)
        throw TRefusal{QString("--interval: \"%1\" is not a number of seconds from %2 to %3")
                           .arg(parser.value("interval"))
                           .arg(MinIntervalSeconds)
                           .arg(MaxIntervalSeconds)};
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

// "all", or indices and ranges separated by commas.
TLogSelection ParamsValue(const QString& text)
{
    TLogSelection selection{};
    if (text.trimmed().compare("all", Qt::CaseInsensitive) == 0) {
        selection.fill(true);
        return selection;
    }
    const auto refuse = [&text] {
        return TRefusal{QString("--params: \"%1\" is neither all nor a list of indices 0-%2 and ranges "
                                "such as 0,8,16-18")
                            .arg(text)
                            .arg(LogParameterCount - 1)};
    };
    for (const QString& item : text.split(',')) {
        const QStringList ends = item.split('-');
        bool okFirst = false;
        bool okLast = false;
        const int first = ends.front().trimmed().toInt(&okFirst);
        const int last = ends.back().trimmed().toInt(&okLast);
        if (ends.size() > 2 || !okFirst || !okLast || first < 0 || last < first || last >= int(LogParameterCount))
            throw refuse();
        for (int i = first; i <= last; ++i)
            selection[std::size_t(i)] = true;
    }
    return selection;
}

// The connection and the link settings of section "Form" and the "Logging"
// section, as the desktop utility reads them.
void ApplySettingsFile(const QString& fileName, const QString& applicationDirectory, TLoggerOptions& options)
{
    if (!QFileInfo(fileName).isFile())
        throw TRefusal{QString("--settings: no such file \"%1\"").arg(fileName)};
    const TIniFile ini(fileName);
    options.Kind = LinkKindSetting::Read(ini);
    options.Target = options.Kind == TLinkKind::Serial ? ini.ReadString("Form", "COM", "COM1")
                                                       : ini.ReadString("Form", "IP Address", "0.0.0.0").remove(' ');
    const int port = ini.ReadInteger("Form", "TCP Port", options.TcpPort);
    if (port >= 1 && port <= 65535)
        options.TcpPort = port;
    options.Baud = BaudRateFromIndex(ini.ReadInteger("Form", "Baud", 0));
    options.Link = TLinkSettings::Read(ini, options.Link);
    const TLogSettings logging = LogSettings::Read(ini, applicationDirectory);
    options.FileName = logging.FileName;
    options.Interval = std::chrono::seconds(logging.Frequency);
    options.Selection = logging.Selection;
}

void ApplySwitches(const QCommandLineParser& parser, TLoggerOptions& options)
{
    const QStringList links{"ip", "port", "rtu-over-tcp"};
    if (std::count_if(links.begin(), links.end(), [&](const QString& name) { return parser.isSet(name); }) > 1)
        throw TRefusal{"--ip, --port and --rtu-over-tcp: give one meter, over Modbus/TCP, a serial port or RTU "
                       "over TCP"};
    if (parser.isSet("ip")) {
        options.Kind = TLinkKind::Tcp;
        options.Target = AddressText("ip", parser.value("ip"));
    }
    if (parser.isSet("rtu-over-tcp"))
        ApplyDeviceServer(parser, options);
    if (parser.isSet("port")) {
        options.Kind = TLinkKind::Serial;
        options.Target = parser.value("port");
        if (options.Target.trimmed().isEmpty())
            throw TRefusal{"--port: the serial port has no name"};
    }
    if (parser.isSet("tcp-port"))
        options.TcpPort = IntegerValue(parser, "tcp-port", 1, 65535);
    if (parser.isSet("baud"))
        options.Baud = BaudValue(parser);
    if (parser.isSet("address"))
        options.Address = uint8_t(IntegerValue(parser, "address", 1, 247));
    if (parser.isSet("interval"))
        options.Interval = IntervalValue(parser);
    if (parser.isSet("timeout"))
        options.Link.ReceiveTimeoutMs = IntegerValue(parser, "timeout", TLinkSettings::MinReceiveTimeoutMs,
                                                     TLinkSettings::MaxReceiveTimeoutMs);
    if (parser.isSet("tries"))
        options.Link.Tries = IntegerValue(parser, "tries", TLinkSettings::MinTries, TLinkSettings::MaxTries);
    if (parser.isSet("echo"))
        options.Link.Echo = true;
    if (parser.isSet("end-at-silence"))
        options.Link.EndAtLength = false;
    if (parser.isSet("connection-per-request"))
        options.Link.KeepConnection = false;
    if (parser.isSet("file")) {
        options.FileName = parser.value("file");
        if (options.FileName.trimmed().isEmpty())
            throw TRefusal{"--file: the log file has no name"};
    }
    if (parser.isSet("params"))
        options.Selection = ParamsValue(parser.value("params"));
    if (parser.isSet("banks")) {
        options.BanksFile = parser.value("banks");
        if (!QFileInfo(options.BanksFile).isFile())
            throw TRefusal{QString("--banks: no such file \"%1\"").arg(options.BanksFile)};
    }
    options.Once = parser.isSet("once");
    options.Csv = parser.isSet("csv");
    if (options.Csv && !options.Once)
        throw TRefusal{"--csv: goes with --once only"};
}

} // namespace

TLoggerOptionsResult ParseLoggerOptions(const QStringList& arguments, const QString& applicationDirectory)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(Switches());
    if (!parser.parse(QStringList{"kelvane-log"} + arguments))
        return {std::nullopt, parser.errorText(), {}};
    if (!parser.positionalArguments().isEmpty())
        return {std::nullopt, QString("\"%1\" is not a switch").arg(parser.positionalArguments().front()), {}};
    if (parser.isSet("help"))
        return {std::nullopt, {}, Usage()};

    TLoggerOptions options;
    options.FileName = QDir(applicationDirectory).filePath("log.csv");
    options.BanksFile = QDir(applicationDirectory).filePath("RegisterBanks.ini");
    options.Selection.fill(true);
    try {
        if (parser.isSet("settings"))
            ApplySettingsFile(parser.value("settings"), applicationDirectory, options);
        ApplySwitches(parser, options);
    } catch (const TRefusal& refusal) {
        return {std::nullopt, refusal.Message, {}};
    }
    if (options.Target.isEmpty())
        return {std::nullopt,
                "no meter given: use --ip ADDRESS, --port DEVICE or --rtu-over-tcp ADDRESS[:PORT], or --settings "
                "FILE",
                {}};
    if (options.Kind != TLinkKind::Serial && !TTcpSocket::IsAddress(options.Target.toStdString()))
        return {std::nullopt,
                QString("--settings: \"IP Address\" \"%1\" is not an IP address").arg(options.Target),
                {}};
    return {options, {}, {}};
}
