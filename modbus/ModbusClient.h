#pragma once

// The request layer of the serial Modbus master. A client is bound to one
// TModbusConnection and one server address. Its request methods check their
// arguments, queue a transaction on the connection and return its ID at
// once; the connection's worker performs the exchange and hands the finished
// transaction back to ProcessTransaction on the GUI thread, which checks the
// reply against the request and raises the event of the function code.
// Every outcome, silence and invalid replies included, arrives through the
// same events: the outcome is in the TTransactionInfo passed to them.

#include "DiagnosticAction.h"
#include "ModbusFileRecords.h"
#include "ModbusTransaction.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class TModbusConnection;
class TModbusClient;

using TBitValues = std::vector<bool>;
using TExceptionStatusValues = std::vector<bool>;
using TServerIdentificationData = std::vector<uint8_t>;

using TMultipleBitsAccessEvent = std::function<void(TModbusClient* sender, const TTransactionInfo& info,
                                                    uint16_t startBit, uint16_t bitCount, const TBitValues& bitValues)>;
using TMultipleRegistersAccessEvent = std::function<void(TModbusClient* sender, const TTransactionInfo& info,
                                                         uint16_t startReg, uint16_t regCount,
                                                         const TRegValues& regValues)>;
using TSingleCoilWriteEvent =
    std::function<void(TModbusClient* sender, const TTransactionInfo& info, uint16_t bitAddr, bool bitValue)>;
using TSingleRegisterWriteEvent =
    std::function<void(TModbusClient* sender, const TTransactionInfo& info, uint16_t regAddr, uint16_t regValue)>;
using TSingleRegisterMaskWriteEvent = std::function<void(TModbusClient* sender, const TTransactionInfo& info,
                                                         uint16_t regAddr, uint16_t andMask, uint16_t orMask)>;
using TMultipleRegistersReadWriteEvent = std::function<void(
    TModbusClient* sender, const TTransactionInfo& info, uint16_t startRegToRead, uint16_t regCountToRead,
    const TRegValues& regValuesToRead, uint16_t startRegToWrite, uint16_t regCountToWrite,
    const TRegValues& regValuesToWrite)>;
// The list is the client's and lives only for the call.
using TFileRecordAccessEvent =
    std::function<void(TModbusClient* sender, const TTransactionInfo& info, TModbusFileRecordList& fileRecList)>;
using TExceptionStatusReadEvent = std::function<void(TModbusClient* sender, const TTransactionInfo& info,
                                                     const TExceptionStatusValues& statusValues)>;
using TServerIdentificationReportEvent = std::function<void(TModbusClient* sender, const TTransactionInfo& info,
                                                            int count, const TServerIdentificationData& data)>;
using TDiagnosticsEvent = std::function<void(TModbusClient* sender, const TTransactionInfo& info,
                                             TDiagnosticAction action, uint16_t result)>;
using TCustomTransactionCompleteEvent =
    std::function<void(TModbusClient* sender, TModbusTransaction& transaction, uint8_t command)>;
using TTransactionProcessedEvent =
    std::function<void(TModbusClient* sender, const TTransactionInfo& info, uint8_t command, bool custom)>;
using TModbusClientNotifyEvent = std::function<void(TModbusClient* sender)>;
using TTranslateExceptionCodeEvent =
    std::function<void(TModbusClient* sender, uint8_t exceptionCode, std::string& description)>;

class TModbusClient : public TTransactionClient {
public:
    TModbusClient() = default;
    virtual ~TModbusClient();
    TModbusClient(const TModbusClient&) = delete;
    TModbusClient& operator=(const TModbusClient&) = delete;

    // Setting another connection unregisters the client from the old one and
    // registers it with the new one.
    TModbusConnection* Connection() const { return connection_; }
    void SetConnection(TModbusConnection* connection);
    // Called by a connection that is being destroyed for each client still
    // registered with it: the client forgets it without unregistering.
    void ConnectionDestroyed(TModbusConnection& connection) override;

    // Address of every request built from now on; 0 sends broadcasts, which
    // produce no event. A change first drops the client's queued requests.
    uint8_t ServerAddress() const override { return serverAddress_; }
    void SetServerAddress(uint8_t address);

    // Consecutive unanswered attempts allowed before
    // OnConsecutiveTimeoutLimitExceed; -1 (or anything below) switches the
    // check off. A change resets the count.
    int MaxConsecutiveTimeouts() const { return maxConsecutiveTimeouts_; }
    void SetMaxConsecutiveTimeouts(int limit);
    uint32_t ConsecutiveTimeouts() const { return consecutiveTimeouts_; }

    // Request methods: each returns the new transaction's ID. Refused
    // arguments raise EModbusError before anything is built, and so does a
    // missing or inactive connection ("There is no active connection").
    uint32_t ReadCoils(uint16_t startBit, uint16_t bitCount, int32_t userData = 0);                    // 1
    uint32_t ReadDiscreteInputs(uint16_t startBit, uint16_t bitCount, int32_t userData = 0);           // 2
    uint32_t ReadHoldingRegisters(uint16_t startReg, uint16_t regCount, int32_t userData = 0);         // 3
    uint32_t ReadInputRegisters(uint16_t startReg, uint16_t regCount, int32_t userData = 0);           // 4
    uint32_t WriteSingleCoil(uint16_t bitAddr, bool bitValue, int32_t userData = 0);                   // 5
    uint32_t WriteSingleRegister(uint16_t regAddr, uint16_t regValue, int32_t userData = 0);           // 6
    uint32_t ReadExceptionStatus(int32_t userData = 0);                                                // 7
    // queryData is sent only with daReturnQueryData.
    uint32_t Diagnostics(TDiagnosticAction action, uint16_t queryData = 0, int32_t userData = 0);      // 8
    uint32_t WriteMultipleCoils(uint16_t startBit, const TBitValues& bitValues, int32_t userData = 0); // 15
    uint32_t WriteMultipleRegisters(uint16_t startReg, std::span<const uint16_t> regValues,
                                    int32_t userData = 0);                                             // 16
    uint32_t ReportServerIdentification(int32_t userData = 0);                                         // 17
    // A request PDU built elsewhere (a gateway passing on another master's
    // request), sent as it is; its reply is checked as that of its function.
    uint32_t SendPdu(const std::vector<uint8_t>& pdu, int32_t userData = 0);
    // The records name the ranges to read (20) or hold the values to write (21).
    uint32_t ReadFileRecord(const TModbusFileRecordList& records, int32_t userData = 0);               // 20
    uint32_t WriteFileRecord(const TModbusFileRecordList& records, int32_t userData = 0);              // 21
    uint32_t MaskWriteSingleRegister(uint16_t regAddr, uint16_t andMask, uint16_t orMask,
                                     int32_t userData = 0);                                            // 22
    uint32_t ReadWriteMultipleRegisters(uint16_t startRegToRead, uint16_t regCountToRead,
                                        uint16_t startRegToWrite, std::span<const uint16_t> regValuesToWrite,
                                        int32_t userData = 0);                                         // 23

    // Runs on the GUI thread for each finished transaction of this client
    // (the connection's notification sink calls it and frees the transaction
    // afterwards): checks the reply, raises the function's event, then
    // OnTransactionProcessed, then counts unanswered attempts.
    void ProcessTransaction(TModbusTransaction& transaction) override;

    TMultipleBitsAccessEvent OnCoilsRead, OnDiscreteInputsRead, OnMultipleCoilsWrite;
    TMultipleRegistersAccessEvent OnHoldingRegistersRead, OnInputRegistersRead, OnMultipleRegistersWrite;
    TSingleCoilWriteEvent OnSingleCoilWrite;
    TSingleRegisterWriteEvent OnSingleRegisterWrite;
    TSingleRegisterMaskWriteEvent OnSingleRegisterMaskWrite;
    TMultipleRegistersReadWriteEvent OnMultipleRegistersReadWrite;
    TFileRecordAccessEvent OnFileRecordRead, OnFileRecordWrite;
    TExceptionStatusReadEvent OnExceptionStatusRead;
    TServerIdentificationReportEvent OnServerIdentificationReport;
    TDiagnosticsEvent OnDiagnostics;
    TCustomTransactionCompleteEvent OnCustomTransactionComplete;
    TTransactionProcessedEvent OnTransactionProcessed;
    TModbusClientNotifyEvent OnConsecutiveTimeoutLimitExceed;
    // For applications that name exception codes themselves; the client
    // never raises it (the meter link owns the texts it shows).
    TTranslateExceptionCodeEvent OnTranslateExceptionCode;

private:
    void CheckConnection() const;
    uint32_t Queue(const std::vector<uint8_t>& pdu, int32_t userData);
    uint32_t ReadBits(uint8_t function, uint16_t startBit, uint16_t bitCount, int32_t userData);
    uint32_t ReadRegisters(uint8_t function, uint16_t startReg, uint16_t regCount, int32_t userData);

    void CountTimeouts(const TTransactionInfo& info);

    TModbusConnection* connection_ = nullptr;
    uint8_t serverAddress_ = 1;
    int maxConsecutiveTimeouts_ = -1;
    uint32_t consecutiveTimeouts_ = 0;
    // Cleared by the destructor, so ProcessTransaction notices when one of
    // its event handlers destroyed the client.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
