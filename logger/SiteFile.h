#pragma once

#include "LoggerOptions.h"
#include "MeterReading.h"

#include <QString>

#include <chrono>
#include <memory>
#include <vector>

// A site file: one INI section per meter, named after the meter.
//
//   [Main incomer]
//   Link=rtu:/dev/serial/by-id/usb-FTDI_USB-RS485-if00-port0:19200
//   Address=3
//   File=/var/log/kelvane/main-incomer.csv
//
// Link is rtu:DEVICE[:BAUD], tcp:ADDRESS[:PORT] or rtu-tcp:ADDRESS:PORT;
// Address 1-247; Unit, the meter's unit id on the logger's Modbus/TCP
// gateway (1-247; by default its Address when no other meter of the site
// has that address, else none), File, Params and the link's Interval, Timeout, Tries, Echo
// and Framing are optional; a relative File is taken from the working
// directory. Meters with the same link share it. A link
// setting given in any of its meters' sections holds for the whole link;
// the switches give what no section does. The file is UTF-8 with LF, CR LF
// or CR line ends; a meter's name is one every output can carry (MeterName.h).

struct TGatewayLink;

struct TSiteMeter {
    TSiteMeterId Id;
    uint8_t Unit = 0; // on the gateway; 0: none
    QString File; // its own log file; none when empty
    TLogSelection Selection{};
};

struct TSiteLink {
    QString Text; // "rtu:/dev/ttyUSB0:19200", "tcp:192.168.10.20:502", "rtu-tcp:192.168.10.30:4001"
    TLinkKind Kind = TLinkKind::Serial;
    QString Target;
    int TcpPort = 502;
    TBaudRate Baud = TBaudRate::br9600;
    TLinkSettings Settings;
    std::chrono::milliseconds Interval{60000};
    std::vector<TSiteMeter> Meters; // in file order
    // Ask each meter once for its identification report (function 17), whose
    // model text only Home Assistant's discovery announces: a meter not set
    // to answer it costs a timeout.
    bool AskModel = false;
    // The one meter of the switches rather than a site file's: the messages
    // name it by where it is and the link's changes come without the link's
    // name, as a logger of one meter has always said them; it is asked at
    // every interval with all its tries, as it holds up no other meter.
    bool OneMeter = false;
    // With the gateway on, what it shares with the link: its clients'
    // requests and the meters' counts of them.
    std::shared_ptr<TGatewayLink> Gateway;
};

struct TSiteFileResult {
    std::vector<TSiteLink> Links; // in the order of their first meter
    // "site.ini, line 7: Address: \"300\" is not a whole number from 1 to 247"
    QString Error;
};

// defaults: the logger's options after its switches, which give each link
// and meter what the file leaves out.
TSiteFileResult ReadSiteFile(const QString& fileName, const TLoggerOptions& defaults);

// The one meter the switches give (--ip, --port or --rtu-over-tcp, --address,
// --name, --file, --params, the link's settings), as a site of one link
// built as a site file's are; its file is the path as given.
std::vector<TSiteLink> OneMeterSite(const TLoggerOptions& options);

// The meter as the messages name it after "the meter": in a site
// "\"Main incomer\" (rtu:/dev/ttyUSB0:19200, address 3)", alone
// "at 192.168.1.20:502, unit 1", "at /dev/ttyUSB0 at 9600 baud, unit 1" or
// "at 192.168.1.30:4001 (RTU over TCP) at 9600 baud, unit 1".
QString MeterSaid(const TSiteLink& link, const TSiteMeter& meter);
