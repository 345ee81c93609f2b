#pragma once

// A search of a range of Modbus addresses on the meter link for the meters
// that answer there. Each address gets one read of register 133, which a
// Kelvane meter always answers with 12345; a meter found is then asked for
// its serial number, its software version and, on a serial line, its model
// text (function 17).

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class TKelvane;

// What answered at one address.
struct TScanFinding {
    int Address = 0;
    // Register 133 read 12345.
    bool Kelvane = false;
    // For anything else that answered: what it answered.
    QString Answer;
    std::optional<int> SerialNumber;
    std::optional<double> SoftwareVersion;
    // The readable text of the identification report; empty over Modbus/TCP
    // and when the meter sent none.
    QString Model;
};

// How a scan ended.
struct TScanEnd {
    enum class TKind { Completed, Cancelled, Failed };
    TKind Kind = TKind::Completed;
    // The last address asked (0 when none was).
    int LastAddress = 0;
    // Why the scan failed.
    QString Error;
};

// The software version of the meter whose registers the image holds (the
// logged quantity 31, registers 830 and 831 in the meter's word order);
// nothing when the latest read of them failed or never happened.
std::optional<double> MeterSoftwareVersion(const TKelvane& link);
// A software version as meters and profiles show it: two decimals.
QString SoftwareVersionText(double version);

class TMeterScan {
public:
    // How long the scan waits for each answer, in ms: an address where
    // nothing answers costs this much.
    static constexpr int32_t ReplyTimeoutMs = 150;

    // The link's reply timeout is shortened for the life of the scan object
    // and restored when it goes. abort is the program's closing flag, passed
    // to every request.
    TMeterScan(TKelvane& link, const bool& abort);
    ~TMeterScan();
    TMeterScan(const TMeterScan&) = delete;
    TMeterScan& operator=(const TMeterScan&) = delete;

    // Asks every address from first to last in turn. next(address) comes
    // before each: false stops the scan there (a cancel). found comes for
    // every address that answered. The register image is left as it was
    // before the scan; failures of the link (a lost port, a connection that
    // cannot be made) end the scan with their text.
    TScanEnd Run(int first, int last, const std::function<bool(int address)>& next,
                 const std::function<void(const TScanFinding&)>& found);

private:
    std::optional<TScanFinding> Probe(int address);
    void ReadDetails(TScanFinding& finding);
    // One read of first..last at address, with take run while the image
    // holds what was read; the image is then put back as it was. Returns the
    // read's result code; a failure of the link itself raises.
    int32_t Read(int address, int first, int last, const std::function<void()>& take);

    TKelvane& link_;
    const bool& abort_;
    const int32_t savedTimeout_;
};
