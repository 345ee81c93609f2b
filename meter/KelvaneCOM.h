#pragma once

#include "BaudRate.h"
#include "Exchange.h"
#include "LinkTransport.h"
#include "RegisterBitDefs.h"
#include "RegisterMap.h"
#include "ZeroPagesAllocator.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// The one object through which the utility talks to a meter. It owns the
// transport's client and keeps the register image: the meter's holding and
// input registers as last read. Every meter operation blocks its caller and
// returns a result code (ErrorCode gives its text); reads store into the image
// and everything shown or logged is read back out of it.
//
// Register numbers follow the customary rule where an operation says so: a
// number above 40,000 stands for holding register number - 40,001.
class TKelvane {
public:
    static constexpr int ResultPending = MeterResult::Pending;
    static constexpr int RegisterSlots = 65537; // slots per part of the image

    // Over TCP (Modbus/TCP, or RTU over TCP to a serial device server),
    // target is the IP address; no connection is made here, the first
    // request connects, and every request connects on its own unless the
    // connection is kept (SetKeepConnection). A target that is not an IP
    // address leaves the link inactive. On a serial link, target names the
    // serial port ("COM1", "ttyUSB0" or a path), opened here at 9600 baud,
    // 8N1, in RTU; a port that does not open leaves the link inactive, and
    // LastOpenError says why. Made with TOpen::Later, the link stays closed
    // until SetActive(true), so that a program that sets the rate and the
    // rest first opens the port once, with them.
    enum class TOpen { Now, Later };
    TKelvane(const QString& target, TLinkKind kind, TOpen open = TOpen::Now);
    TKelvane(const QString& target, bool tcp);
    ~TKelvane();
    TKelvane(const TKelvane&) = delete;
    TKelvane& operator=(const TKelvane&) = delete;

    // Meter operations. They process pending events while they wait, and
    // abort ends a wait at once when it becomes true (the operation then
    // returns ResultPending). The link must outlive every operation that
    // waits on it: a caller that may replace it meanwhile holds its own
    // reference for the length of the operation.
    //
    // An operation called from inside the wait of another one on the same
    // link queues its own request behind the waiting one and returns its
    // own result; one to another server address cancels the waiting
    // request (-9).
    //
    // On a serial port: a lost port gives -8 at once, also to every later
    // operation, and leaves the link inactive. An inactive link (never
    // opened, or closed) raises "There is no active connection". A request
    // to address 0 on a serial line or through a device server is a
    // broadcast, 0 once it is written. Over TCP a connection that cannot be
    // made or breaks gives MeterResult's socket codes. Every wait ends
    // within the connect, the receive timeout of every attempt and a margin.
    //
    // Each operation hands back its exchange (result, attempts, frames); the
    // int forms give its result alone. A read to address 0 on a serial line
    // or through a device server is never sent (no meter answers a
    // broadcast): it gives MeterResult::ReadFromBroadcast and leaves the
    // bank's registers marked as not read. Over Modbus/TCP unit 0 is read
    // like any other unit. A register number
    // no request can carry gives MeterResult::RegisterOutOfRange, and a
    // count outside 1..125 -7; nothing is sent for either.
    TExchange Read(uint8_t address, uint8_t function, int first, int last, const bool& abort);
    int ReadRegisters(uint8_t address, uint8_t function, int first, int last, const bool& abort)
    {
        return Read(address, function, first, last, abort).Result;
    }
    // reg by the 4xxxx rule above.
    TExchange Write(uint8_t address, int reg, int32_t value, const bool& abort);
    int WriteRegister(uint8_t address, int reg, int32_t value, const bool& abort)
    {
        return Write(address, reg, value, abort).Result;
    }
    // reg as the protocol address itself (0..65535), without the 4xxxx rule.
    TExchange WriteProtocolRegister(uint8_t address, int reg, int32_t value, const bool& abort);
    TExchange WriteMultiple(uint8_t address, int first, std::span<const int32_t> values, const bool& abort);
    int WriteMultipleRegisters(uint8_t address, int first, std::span<const int32_t> values, const bool& abort)
    {
        return WriteMultiple(address, first, values, abort).Result;
    }
    // The data of the meter's identification reply, empty when there is none;
    // the exchange, when asked for, goes to *exchange.
    QByteArray Modbus17(uint8_t address, const bool& abort, TExchange* exchange = nullptr);

    // A request of another Modbus master (the logger's gateway), passed to
    // the meter at address as it came, once, and the meter's reply PDU as
    // it came, empty when there was none: function 4 stays 4 over Modbus/TCP
    // and the register image is left alone, so the link's own reads keep
    // only their own answers. The exchange's result says what became of it.
    struct TForwarded {
        TExchange Exchange;
        QByteArray Reply;
    };
    TForwarded Forward(uint8_t address, const QByteArray& pdu, const bool& abort);

    // Reads of the register image.
    int32_t GetRegister(int reg) const;
    int32_t GetRegisterFunc4(int reg) const;
    int32_t GetRegister32(int first, int second, uint8_t wordOrder) const;
    double GetRegisterFloat(int first, int second, uint8_t wordOrder) const;
    void ResetRegisters();
    // The meter's word order of 32-bit and floating values, as register 142
    // (the configuration word) sets it in bit 13: 1 when set (low word
    // first), else 0. It is the word order to pass to GetRegister32 and
    // GetRegisterFloat.
    uint8_t WordOrder() const;
    // Entry `index` (0 to 59) of the quantities the meter logs: the floats
    // from register 768, two registers each, in the meter's word order.
    // Nothing when the latest read did not bring both of its registers.
    std::optional<double> LoggedQuantity(int index) const;
    static constexpr int LoggedQuantityFirst = RegisterMap::LoggedQuantitiesFirst;
    int32_t LastResult() const { return lastResult_; }
    // Whether the latest read that covered holding register reg (numbered as
    // for GetRegister) succeeded, so that its image value is what the meter
    // gave. False before any read of it, after a failed read of it and after
    // ResetRegisters (for the registers that reset zeroes). Every read path
    // of either transport records its outcome through NoteRead.
    bool LatestReadOk(int reg) const;
    // True while an operation of this link waits for the meter.
    bool Exchanging() const;
    // Holding registers of the image with the marks of their latest reads.
    // A read made for another purpose than the image (asking other
    // addresses) takes a copy first and puts it back after.
    struct TImageCopy {
        int First = 0;
        std::vector<int32_t> Values;
        std::vector<bool> ReadOk;
    };
    // Registers first..last (0-based), as far as the image holds them.
    TImageCopy CopyImage(int first, int last) const;
    void RestoreImage(const TImageCopy& copy);
    const QByteArray& IdentText() const { return identText_; }

    static int32_t MaskedNumber(int32_t value, int bits, bool isSigned);
    static QString ErrorCode(int32_t code);
    static QString Hexa(const QByteArray& bytes);
    static void EnumComPorts(QStringList& list);
    // Waits ms milliseconds while processing pending GUI events.
    static void Delay(uint32_t ms);

    // Properties. On a serial port: a new port name or baud rate closes the
    // port, changes it and opens it again if it was open; Active opens or
    // closes the port; RXTimeout is the wait for each reply. Over TCP the
    // port name is left alone, and so is the baud rate over Modbus/TCP (RTU
    // over TCP times its frames' silence by it); Active can be switched off
    // and on again (a target that is not an IP address stays inactive) and
    // RXTimeout is the wait for each reply.
    const QString& ComPort() const { return properties_.ComPort; }
    void SetComPort(const QString& name);
    TBaudRate BaudRate() const { return properties_.BaudRate; }
    void SetBaudRate(TBaudRate rate);
    bool Active() const { return properties_.Active; }
    void SetActive(bool active);
    int32_t RXTimeout() const { return properties_.RXTimeout; }
    void SetRXTimeout(int32_t ms);
    // The serial adapter returns every frame it sends: the master removes
    // the echo before it reads the reply. No effect over Modbus/TCP.
    bool Echo() const { return properties_.Echo; }
    void SetEcho(bool on);
    // Why the serial port did not open the last time it was opened (no
    // permission and its remedy, in use, no such port); empty when it did,
    // and always over Modbus/TCP.
    QString LastOpenError() const;
    // Modbus/TCP (reads holding registers only, has no identification).
    bool TCP() const { return Kind() == TLinkKind::Tcp; }
    TLinkKind Kind() const;
    // RTU: a reply ends as soon as its function code and byte count say it
    // is whole and its CRC checks, instead of after the silence that follows.
    bool EndAtLength() const;
    void SetEndAtLength(bool on);
    // TCP links: one connection carries every request until it breaks,
    // instead of a connection per request.
    bool KeepConnection() const;
    void SetKeepConnection(bool on);
    // A kept TCP connection was made, lost or refused, or the serial port
    // was lost: its words, once per change.
    void SetOnLinkState(std::function<void(const QString& text)> handler);
    // The serial port or the IP address the link was made for.
    const QString& Target() const { return target_; }
    // TCP port of the meter (502 unless set).
    int TcpPort() const;
    void SetTcpPort(int port);

private:
    int32_t HoldingAt(int n) const; // 0 outside the image
    void NoteRead(int first, int count, int result);
    void ForgetOtherReads(int first, int count);

    const QString target_;
    TLinkProperties properties_;
    std::unique_ptr<TLinkTransport> transport_;
    // 512 KB, of which only the pages of registers read take room.
    std::vector<int32_t, TZeroPagesAllocator<int32_t>> image_;
    std::vector<bool> readOk_ = std::vector<bool>(RegisterSlots, false);
    int32_t lastResult_ = 0;
    QByteArray identText_;
};
