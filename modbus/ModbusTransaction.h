#pragma once

#include "ModbusBuffer.h"
#include "SerialFrame.h"

#include <cstdint>

class TModbusConnection;
class TModbusTransaction;

// What every serial Modbus event reports about its transaction. Zeroed when
// the transaction is built.
struct TTransactionInfo {
    uint32_t ID = 0;
    uint8_t ServerAddress = 0;
    int32_t UserData = 0;
    uint32_t Attempts = 0;
    TTransactionReply Reply = TTransactionReply::trNoReply;
    uint8_t ExceptionKind = 0; // the exception code when it is 1 ... 8, else 0
    uint8_t ExceptionCode = 0;
    // The port went away before or during the exchange: nothing more can be
    // sent on it (Reply stays trNoReply, Attempts counts what was sent).
    bool PortLost = false;
};

// What a connection needs of a client that queues transactions on it
// (TModbusClient): the address its requests go to, the finished
// transactions, and word that the connection is being destroyed, after
// which the client must forget it. All on the GUI thread.
class TTransactionClient {
public:
    virtual uint8_t ServerAddress() const = 0;
    virtual void ProcessTransaction(TModbusTransaction& transaction) = 0;
    virtual void ConnectionDestroyed(TModbusConnection& connection) = 0;

protected:
    ~TTransactionClient() = default;
};

// One request and its reply. Built by a client on the GUI thread, then owned
// in turn by the connection's queue, the worker, the posted notification and
// the sink, which frees it after delivery.
class TModbusTransaction {
public:
    explicit TModbusTransaction(int capacity) : RequestBuffer(capacity), ReplyBuffer(capacity) {}

    TModbusBuffer RequestBuffer;
    TModbusBuffer ReplyBuffer;
    bool Custom = false;
    bool AnyServerAddress = false;
    TTransactionInfo Info;
    TTransactionClient* Client = nullptr; // not owned

    // A broadcast is written once and never answered.
    bool IsBroadcast() const { return Info.ServerAddress == 0 && !Custom; }
};
