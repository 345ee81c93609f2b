#pragma once

#include "BaudRate.h"
#include "IdModBusClient.h"
#include "RegisterBitDefs.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
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
    static constexpr int ResultPending = -99999;
    static constexpr int RegisterSlots = 65537; // slots per part of the image

    // With tcp true, target is the meter's IP address; no connection is made
    // here, every request connects on its own. A target that is not an IP
    // address leaves the link inactive. With tcp false, target names the
    // serial port.
    TKelvane(const QString& target, bool tcp);
    ~TKelvane();
    TKelvane(const TKelvane&) = delete;
    TKelvane& operator=(const TKelvane&) = delete;

    // Meter operations. They process pending events while they wait, and
    // abort ends a wait at once when it becomes true. An operation called
    // from inside the wait of another one on the same link does not start a
    // second exchange: it returns ResultPending at once.
    int ReadRegisters(uint8_t address, uint8_t function, int first, int last, const bool& abort);
    int WriteRegister(uint8_t address, int reg, int32_t value, const bool& abort);
    int WriteMultipleRegisters(uint8_t address, int first, std::span<const int32_t> values, const bool& abort);
    // The data of the meter's identification reply, empty when there is none.
    QByteArray Modbus17(uint8_t address, const bool& abort);

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
    int32_t LastResult() const { return lastResult_; }
    // Whether the latest read that covered holding register reg (numbered as
    // for GetRegister) succeeded, so that its image value is what the meter
    // gave. False before any read of it, after a failed read of it and after
    // ResetRegisters (for the registers that reset zeroes). Every read path
    // of either transport records its outcome through NoteRead.
    bool LatestReadOk(int reg) const;
    // True while an operation of this link waits for the meter.
    bool Exchanging() const { return exchanging_; }
    const QByteArray& IdentText() const { return identText_; }

    static int32_t MaskedNumber(int32_t value, int bits, bool isSigned);
    static QString ErrorCode(int32_t code);
    static QString Hexa(const QByteArray& bytes);
    static void EnumComPorts(QStringList& list);
    // Waits ms milliseconds while processing pending GUI events.
    static void Delay(uint32_t ms);

    // Properties.
    const QString& ComPort() const { return comPort_; }
    void SetComPort(const QString& name);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate rate);
    bool Active() const { return active_; }
    void SetActive(bool active);
    int32_t RXTimeout() const { return rxTimeout_; }
    void SetRXTimeout(int32_t ms);
    bool TCP() const { return tcp_; }
    // TCP port of the meter (502 unless set).
    int TcpPort() const;
    void SetTcpPort(int port);

    QByteArray TransactionOutput;
    QByteArray TransactionInput;

private:
    int32_t HoldingAt(int n) const; // 0 outside the image
    // Runs one Modbus/TCP operation and keeps its frames for the trace, also
    // when the operation raises.
    template <typename Operation>
    int TcpTransaction(uint8_t function, uint8_t address, const bool& abort, Operation operation);
    [[noreturn]] void RaiseNoSerialConnection() const;
    void NoteRead(int first, int count, int result);

    QString comPort_;
    TBaudRate baudRate_ = TBaudRate::br9600;
    bool active_ = false;
    int32_t rxTimeout_ = 500;
    bool tcp_;
    std::unique_ptr<TIdModBusClient> tcpClient_;
    std::vector<int32_t> image_;
    std::vector<bool> readOk_ = std::vector<bool>(RegisterSlots, false);
    int32_t lastResult_ = 0;
    bool exchanging_ = false;
    QByteArray identText_;
};
