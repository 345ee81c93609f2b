#pragma once

#include "ModbusBuffer.h"
#include "SerialFrame.h"

#include <cstdint>
#include <string>
#include <vector>

class TModbusConnection;

// One frame the worker sent and what became of it, or a frame it heard and
// threw away (then Request is empty and SentAtMs 0), in the order they
// happened. Outcome is in words, as the traffic trace shows it.
struct TAttemptRecord {
    int64_t SentAtMs = 0;     // wall-clock milliseconds since the epoch
    int64_t RoundTripUs = -1; // request out to reply or to the end of the wait
    std::vector<uint8_t> Request;
    std::vector<uint8_t> Reply;
    std::string Outcome;
    TTransactionReply Kind = TTransactionReply::trNoReply; // of an attempt, as the worker classified it
    // A late reply thrown away: how long after its own request's sending it
    // came, in ms; -1 for anything else.
    int64_t LateMs = -1;
};
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
    // The channel's failure that ended the exchange (a TCP connection that
    // could not be made or broke; TcpFailure's codes), or 0.
    int32_t LinkFailure = 0;
    // Every attempt and every frame discarded meanwhile.
    std::vector<TAttemptRecord> AttemptLog;
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
