#include "LoggerOptions.h"

#include "IniFile.h"
#include "LogSettings.h"
#include "MeterName.h"
#include "ModbusConnection.h"
#include "SettingValues.h"
#include "TcpSocket.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <optional>
#include <tuple>
#include <utility>

namespace {

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
        {"name", "The meter's name in the outputs: its MQTT topics, its Prometheus label and InfluxDB tag "
                 "(default meter), as a site file's section heading names a meter.", "name"},
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
        {"file", "The log file (default log.csv beside the program, in KELVANE_HOME, or, installed, in "
                 "~/.local/share/kelvane).", "path"},
        {"params", "The quantities to log: all, or a list of indices 0-59 and ranges such as 0,8,16-18 "
                   "(default all).", "all|list"},
        {"settings", "Take the connection, the link settings and the \"Logging\" section from this "
                     "kelvane.ini; the other switches override it, and a key it lacks keeps kelvane-log's "
                     "default.", "file"},
        {"banks", "The register banks to read (default RegisterBanks.ini beside the program, in KELVANE_HOME, "
                  "or, installed, from ~/.config/kelvane, else share/kelvane).", "file"},
        {"once", "Read the meter (with --site: every meter) once, print the quantities as a table and "
                 "exit, writing no log file: status 0 when every meter answered every bank, 1 when not, "
                 "with each failure said once on stderr."},
        {"csv", "With --once: print the log file's header and record instead of a table."},
        {"site", "Log every meter of this site file instead of one meter: an INI file with a section "
                 "per meter, named after the meter, whose keys are Link (rtu:DEVICE[:BAUD], "
                 "tcp:ADDRESS[:PORT] or rtu-tcp:ADDRESS:PORT), Address (1-247) and, each optional, File "
                 "(the meter's own log file; none without it), Params, and the link's Interval, Timeout, "
                 "Tries, Echo (yes or no) and Framing (length or silence). Meters on one link are read one "
                 "after another, the links at the same time. The switches give what the file leaves out.",
         "file"},
        {"mqtt", "Publish each meter's readings to this MQTT broker, after each pass on "
                 "PREFIX/METER/state, and whether it answers on PREFIX/METER/status (retained).",
         "host[:port]"},
        {"mqtt-prefix", "The first level of the MQTT topics (default kelvane).", "prefix"},
        {"mqtt-discovery", "Announce each meter to Home Assistant by MQTT discovery under this prefix "
                           "(default homeassistant): --mqtt-discovery alone, --mqtt-discovery=PREFIX or "
                           "--mqtt-discovery PREFIX. A device per meter, a sensor per logged quantity, a "
                           "wiring problem sensor; announced again when PREFIX/status says online.",
         "prefix"},
        {"mqtt-user", "The user name at the MQTT broker.", "name"},
        {"mqtt-password-file", "A file whose first line is the password at the MQTT broker; else the "
                               "environment variable KELVANE_MQTT_PASSWORD gives it.", "file"},
        {"mqtt-tls", "Connect to the MQTT broker over TLS, checking its certificate against this CA "
                     "certificate file.", "file"},
        {"metrics", "Serve the readings to Prometheus at http://ADDRESS:PORT/metrics "
                    "(address 127.0.0.1 unless given).", "[address:]port"},
        {"http", "Serve a page of the meters at http://ADDRESS:PORT/ that shows every meter and "
                 "updates itself after each pass, and its data as JSON at /api/site and /api/meters/NAME "
                 "(address 127.0.0.1 unless given).", "[address:]port"},
        {"influx", "Write the readings to InfluxDB at this URL, such as "
                   "http://127.0.0.1:8086, through its /write endpoint.", "url"},
        {"influx-db", "The InfluxDB database (default kelvane).", "name"},
        {"serve", "Be a Modbus/TCP gateway to every meter of the site on ADDRESS:PORT (address "
                  "127.0.0.1 unless given): a request to a meter's unit (the site file's Unit, by default "
                  "its Address) goes to the meter between the logger's own requests, and the meter's "
                  "reply goes back. Functions 3, 4, 6, 16 and 17; writes only with --serve-writes.",
         "[address:]port"},
        {"serve-writes", "Let the gateway's clients write registers (functions 6 and 16); each write is "
                         "said on stderr."},
        {"help", "Show this help and exit."},
    };
    return switches;
}

QString Usage()
{
    QCommandLineParser parser;
    parser.addOptions(Switches());
    parser.setApplicationDescription(
        "Logs the measurements of a Kelvane power meter, or with --site of every meter of a site, to "
        "delimited text files, one record per interval, in the format of the Kelvane utility's data "
        "log, and to an MQTT broker (announced to Home Assistant), a Prometheus endpoint, InfluxDB and "
        "a page for a browser. Messages go to stderr, one line each, among them each change of a link: a kept TCP connection made, lost or "
        "refused, a serial port lost. A lost serial port is opened again by its name at the first pass "
        "after it is back; the other links go on meanwhile. SIGTERM or SIGINT ends the run after the record being written. Exit status: 0 done, 1 the "
        "meter or the log could not be used, 2 a switch or the site file was refused or a log file is "
        "not a regular file (a FIFO, a device or a directory).");
    return parser.helpText();
}

int IntegerValue(const QCommandLineParser& parser, const QString& name, int low, int high)
{
    return SettingValues::Integer("--" + name, parser.value(name), low, high);
}

void ApplyDeviceServer(const QCommandLineParser& parser, TLoggerOptions& options)
{
    const auto [host, port] = SettingValues::SplitHostPort(parser.value("rtu-over-tcp"));
    options.Kind = TLinkKind::RtuOverTcp;
    options.Target = SettingValues::Address("--rtu-over-tcp", host);
    if (!port)
        return;
    if (parser.isSet("tcp-port"))
        throw TSettingRefusal{"--rtu-over-tcp: a TCP port after the address and --tcp-port as well; give the port once"};
    options.TcpPort = SettingValues::Integer("--rtu-over-tcp", *port, 1, 65535);
}

// The connection and the link settings of section "Form" and the "Logging"
// section, as the desktop utility reads them.
void ApplySettingsFile(const QString& fileName, const QString& dataDirectory, TLoggerOptions& options)
{
    if (!QFileInfo(fileName).isFile())
        throw TSettingRefusal{QString("--settings: no such file \"%1\"").arg(fileName)};
    const TIniFile ini(fileName);
    options.Kind = LinkKindSetting::Read(ini);
    options.Target = options.Kind == TLinkKind::Serial ? ini.ReadString("Form", "COM", "COM1")
                                                       : ini.ReadString("Form", "IP Address", "0.0.0.0").remove(' ');
    const int port = ini.ReadInteger("Form", "TCP Port", options.TcpPort);
    if (port >= 1 && port <= 65535)
        options.TcpPort = port;
    options.Baud = BaudRateFromIndex(ini.ReadInteger("Form", "Baud", 0));
    options.Link = TLinkSettings::Read(ini, options.Link);
    const TLogSettings logging = LogSettings::Read(ini, dataDirectory);
    options.FileName = logging.FileName;
    options.Interval = std::chrono::seconds(logging.Frequency);
    options.Selection = logging.Selection;
}

void ApplySwitches(const QCommandLineParser& parser, TLoggerOptions& options)
{
    const QStringList links{"ip", "port", "rtu-over-tcp"};
    if (std::count_if(links.begin(), links.end(), [&](const QString& name) { return parser.isSet(name); }) > 1)
        throw TSettingRefusal{"--ip, --port and --rtu-over-tcp: give one meter, over Modbus/TCP, a serial port or RTU "
                       "over TCP"};
    if (parser.isSet("ip")) {
        options.Kind = TLinkKind::Tcp;
        options.Target = SettingValues::Address("--ip", parser.value("ip"));
    }
    if (parser.isSet("rtu-over-tcp"))
        ApplyDeviceServer(parser, options);
    if (parser.isSet("port")) {
        options.Kind = TLinkKind::Serial;
        options.Target = parser.value("port");
        if (options.Target.trimmed().isEmpty())
            throw TSettingRefusal{"--port: the serial port has no name"};
    }
    if (parser.isSet("tcp-port"))
        options.TcpPort = IntegerValue(parser, "tcp-port", 1, 65535);
    if (parser.isSet("baud"))
        options.Baud = SettingValues::Baud("--baud", parser.value("baud"));
    if (parser.isSet("address"))
        options.Address = uint8_t(IntegerValue(parser, "address", 1, 247));
    if (parser.isSet("name")) {
        options.Name = parser.value("name");
        if (const QString fault = MeterName::Fault(options.Name); !fault.isEmpty())
            throw TSettingRefusal{QString("--name: the meter's name \"%1\" %2").arg(SettingValues::Shown(options.Name), fault)};
    }
    if (parser.isSet("interval"))
        options.Interval = SettingValues::Interval("--interval", parser.value("interval"));
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
            throw TSettingRefusal{"--file: the log file has no name"};
    }
    if (parser.isSet("params"))
        options.Selection = SettingValues::Params("--params", parser.value("params"));
    if (parser.isSet("banks")) {
        options.BanksFile = parser.value("banks");
        if (!QFileInfo(options.BanksFile).isFile())
            throw TSettingRefusal{QString("--banks: no such file \"%1\"").arg(options.BanksFile)};
    }
    options.Once = parser.isSet("once");
    options.Csv = parser.isSet("csv");
    if (options.Csv && !options.Once)
        throw TSettingRefusal{"--csv: goes with --once only"};
}

// The first line of the password file, without its line end.
QString PasswordFromFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw TSettingRefusal{QString("--mqtt-password-file: cannot read \"%1\": %2").arg(fileName, file.errorString())};
    return QString::fromUtf8(file.readLine()).remove('\n').remove('\r');
}

// Home Assistant's discovery prefix: the first levels of the config topics,
// so neither empty nor with a wildcard or a control character.
QString DiscoveryPrefix(const QString& prefix)
{
    if (prefix.isEmpty())
        throw TSettingRefusal{"--mqtt-discovery: the prefix is empty"};
    for (const QChar c : prefix) {
        // The prefix itself is not repeated: a line break in it would break the message.
        if (c.category() == QChar::Other_Control)
            throw TSettingRefusal{QString("--mqtt-discovery: the prefix holds the control character U+%1, which a "
                                          "topic cannot carry").arg(c.unicode(), 4, 16, QChar('0'))};
        if (c == '+' || c == '#')
            throw TSettingRefusal{QString("--mqtt-discovery: \"%1\" holds the wildcard %2, which a topic to "
                                          "publish on cannot carry").arg(prefix, c)};
    }
    return prefix;
}

void ApplyMqtt(const QCommandLineParser& parser, TMqttOptions& mqtt)
{
    const auto [host, port] = SettingValues::SplitHostPort(parser.value("mqtt"));
    mqtt.Host = host.trimmed();
    if (mqtt.Host.isEmpty())
        throw TSettingRefusal{QString("--mqtt: \"%1\" names no broker").arg(parser.value("mqtt"))};
    if (port)
        mqtt.Port = SettingValues::Integer("--mqtt", *port, 1, 65535);
    if (parser.isSet("mqtt-prefix"))
        mqtt.Prefix = parser.value("mqtt-prefix");
    mqtt.User = parser.value("mqtt-user");
    mqtt.Password = parser.isSet("mqtt-password-file") ? PasswordFromFile(parser.value("mqtt-password-file"))
                                                       : qEnvironmentVariable("KELVANE_MQTT_PASSWORD");
    if (parser.isSet("mqtt-discovery"))
        mqtt.DiscoveryPrefix = DiscoveryPrefix(parser.value("mqtt-discovery"));
    mqtt.CaFile = parser.value("mqtt-tls");
    if (!mqtt.CaFile.isEmpty() && !QFileInfo(mqtt.CaFile).isFile())
        throw TSettingRefusal{QString("--mqtt-tls: no such file \"%1\"").arg(mqtt.CaFile)};
}

// Where a server of the logger listens: [ADDRESS:]PORT, on the loopback
// address unless one is given.
std::pair<QString, uint16_t> ListenAddress(const QCommandLineParser& parser, const QString& name)
{
    const QString text = parser.value(name);
    const auto [address, port] = SettingValues::SplitHostPort(text);
    return {port ? SettingValues::Address("--" + name, address) : "127.0.0.1",
            uint16_t(SettingValues::Integer("--" + name, port.value_or(text), 1, 65535))};
}

void ApplyGateway(const QCommandLineParser& parser, TLoggerOptions& options)
{
    if (parser.isSet("serve-writes") && !parser.isSet("serve"))
        throw TSettingRefusal{"--serve-writes: goes with --serve"};
    if (!parser.isSet("serve"))
        return;
    if (options.Once)
        throw TSettingRefusal{"--serve: the gateway needs a running logger; leave out --once"};
    std::tie(options.Gateway.Address, options.Gateway.Port) = ListenAddress(parser, "serve");
    options.Gateway.Writes = parser.isSet("serve-writes");
}

void ApplyOutputs(const QCommandLineParser& parser, TOutputOptions& outputs)
{
    for (const QString name : {"mqtt-prefix", "mqtt-discovery", "mqtt-user", "mqtt-password-file", "mqtt-tls"})
        if (parser.isSet(name) && !parser.isSet("mqtt"))
            throw TSettingRefusal{QString("--%1: goes with --mqtt").arg(name)};
    if (parser.isSet("influx-db") && !parser.isSet("influx"))
        throw TSettingRefusal{"--influx-db: goes with --influx"};
    if (parser.isSet("mqtt"))
        ApplyMqtt(parser, outputs.Mqtt);
    if (parser.isSet("metrics"))
        std::tie(outputs.MetricsAddress, outputs.MetricsPort) = ListenAddress(parser, "metrics");
    if (parser.isSet("http"))
        std::tie(outputs.HttpAddress, outputs.HttpPort) = ListenAddress(parser, "http");
    if (parser.isSet("influx")) {
        outputs.Influx = QUrl(parser.value("influx").trimmed(), QUrl::StrictMode);
        if (!outputs.Influx.isValid() || (outputs.Influx.scheme() != "http" && outputs.Influx.scheme() != "https") ||
            outputs.Influx.host().isEmpty())
            throw TSettingRefusal{QString("--influx: \"%1\" is not an http:// or https:// URL").arg(parser.value("influx"))};
        outputs.InfluxDb = parser.isSet("influx-db") ? parser.value("influx-db") : "kelvane";
    }
}

// A site file names its meters and their links: the switches of one meter
// would be ignored without a word, so they are refused.
void CheckSiteSwitches(const QCommandLineParser& parser, const TLoggerOptions& options)
{
    if (options.SiteFile.isEmpty())
        return;
    for (const QString name : {"ip", "port", "rtu-over-tcp", "tcp-port", "address", "name", "file", "settings", "csv"})
        if (parser.isSet(name))
            throw TSettingRefusal{QString("--%1: the site file names the meters, their links and their files; "
                                          "leave it out with --site").arg(name)};
    if (!QFileInfo(options.SiteFile).isFile())
        throw TSettingRefusal{QString("--site: no such file \"%1\"").arg(options.SiteFile)};
}

// --mqtt-discovery may come without its prefix: alone at the end or before
// another switch it is given the default one. A prefix that starts with '-'
// is given with '='.
QStringList WithDiscoveryPrefix(QStringList arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i)
        if ((arguments[i] == "--mqtt-discovery" || arguments[i] == "-mqtt-discovery") &&
            (i + 1 == arguments.size() || arguments[i + 1].startsWith('-')))
            arguments.insert(++i, "homeassistant");
    return arguments;
}

} // namespace

TLoggerOptionsResult ParseLoggerOptions(const QStringList& arguments, const TAppPaths& paths)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(Switches());
    if (!parser.parse(QStringList{"kelvane-log"} + WithDiscoveryPrefix(arguments)))
        return {std::nullopt, parser.errorText(), {}};
    if (!parser.positionalArguments().isEmpty())
        return {std::nullopt, QString("\"%1\" is not a switch").arg(parser.positionalArguments().front()), {}};
    if (parser.isSet("help"))
        return {std::nullopt, {}, Usage()};

    TLoggerOptions options;
    options.FileName = QDir(paths.DataDirectory).filePath("log.csv");
    options.BanksFile = paths.DefaultsFile("RegisterBanks.ini");
    options.Selection.fill(true);
    try {
        if (parser.isSet("settings"))
            ApplySettingsFile(parser.value("settings"), paths.DataDirectory, options);
        ApplySwitches(parser, options);
        options.SiteFile = parser.value("site");
        CheckSiteSwitches(parser, options);
        ApplyOutputs(parser, options.Outputs);
        ApplyGateway(parser, options);
        // Each site's spool files its own, in the working directory, and its
        // own ids in Home Assistant.
        if (!options.SiteFile.isEmpty())
            options.Outputs.SpoolStem = options.Outputs.Mqtt.Site = QFileInfo(options.SiteFile).completeBaseName();
    } catch (const TSettingRefusal& refusal) {
        return {std::nullopt, refusal.Message, {}};
    }
    if (!options.SiteFile.isEmpty())
        return {options, {}, {}};
    if (options.Target.isEmpty())
        return {std::nullopt,
                "no meter given: use --ip ADDRESS, --port DEVICE or --rtu-over-tcp ADDRESS[:PORT], --settings "
                "FILE or --site FILE",
                {}};
    if (options.Kind != TLinkKind::Serial && !TTcpSocket::IsAddress(options.Target.toStdString()))
        return {std::nullopt,
                QString("--settings: \"IP Address\" \"%1\" is not an IP address").arg(options.Target),
                {}};
    return {options, {}, {}};
}
