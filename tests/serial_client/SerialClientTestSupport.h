#pragma once

// Support for the tests of the serial Modbus client: the Qt application whose
// event loop delivers the connection's notifications, a wait that processes
// events until a condition holds or a deadline passes, and the far end of a
// pseudo-terminal line on which a test plays the server.

#include "ModbusClient.h"
#include "ModbusConnection.h"
#include "PtyLine.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

namespace serialtest {

using Bytes = std::vector<uint8_t>;

// The one application object of the test process, made on first use.
inline QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "serial_client_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Runs the event loop until done() holds; false when it still does not
// after timeoutMs. A timer wakes the loop now and then so the deadline is
// noticed even when no event arrives.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    App();
    QDeadlineTimer deadline(timeoutMs);
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A server that a test scripts: on its own thread it reads each request
// frame from the master end (a frame ends when the line stays silent for
// FrameGapMs) and writes back what the script returns for it; an empty
// reply leaves the request unanswered. The script runs on the peer thread
// and may block, for instance to hold a reply back.
class TScriptedPeer {
public:
    using Script = std::function<Bytes(const Bytes& request)>;
    static constexpr int FrameGapMs = 30;

    TScriptedPeer(int masterFd, Script script) : fd_(masterFd), script_(std::move(script))
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~TScriptedPeer()
    {
        stop_ = true;
        thread_.join();
    }
    TScriptedPeer(const TScriptedPeer&) = delete;
    TScriptedPeer& operator=(const TScriptedPeer&) = delete;

    std::vector<Bytes> Requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    bool Readable(int timeoutMs) const
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
    }

    Bytes ReadFrame()
    {
        Bytes frame;
        while (!stop_ && Readable(frame.empty() ? 50 : FrameGapMs)) {
            uint8_t chunk[512];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                break;
            frame.insert(frame.end(), chunk, chunk + n);
        }
        return frame;
    }

    void Run()
    {
        while (!stop_) {
            const Bytes request = ReadFrame();
            if (request.empty())
                continue;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const Bytes reply = script_(request);
            if (!reply.empty() && ::write(fd_, reply.data(), reply.size()) != ssize_t(reply.size()))
                return;
        }
    }

    int fd_;
    Script script_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

// One event the client raised, with its values in a common form: register
// or bit values, the address and value(s) of a single write, the count and
// the bytes of a server identification, the action and result of a
// diagnostic, the values of all file records one after the other, the
// values read and then those written by function 23.
struct TSeenEvent {
    std::string Name;
    TTransactionInfo Info;
    std::vector<int> Values;
};

// Records the events of every function, OnTransactionProcessed and
// OnConsecutiveTimeoutLimitExceed, in order.
class TEventLog {
public:
    explicit TEventLog(TModbusClient& client)
    {
        auto bits = [this](const char* name) {
            return [this, name](TModbusClient*, const TTransactionInfo& info, uint16_t, uint16_t,
                                const TBitValues& values) { Add(name, info, {values.begin(), values.end()}); };
        };
        client.OnCoilsRead = bits("CoilsRead");
        client.OnDiscreteInputsRead = bits("DiscreteInputsRead");
        client.OnMultipleCoilsWrite = bits("MultipleCoilsWrite");
        client.OnExceptionStatusRead = [this](TModbusClient*, const TTransactionInfo& info,
                                              const TExceptionStatusValues& values) {
            Add("ExceptionStatusRead", info, {values.begin(), values.end()});
        };
        client.OnSingleCoilWrite = [this](TModbusClient*, const TTransactionInfo& info, uint16_t addr, bool on) {
            Add("SingleCoilWrite", info, {addr, on});
        };
        client.OnSingleRegisterMaskWrite = [this](TModbusClient*, const TTransactionInfo& info, uint16_t addr,
                                                  uint16_t andMask, uint16_t orMask) {
            Add("SingleRegisterMaskWrite", info, {addr, andMask, orMask});
        };
        client.OnDiagnostics = [this](TModbusClient*, const TTransactionInfo& info, TDiagnosticAction action,
                                      uint16_t result) { Add("Diagnostics", info, {int(action), result}); };
        auto files = [this](const char* name) {
            return [this, name](TModbusClient*, const TTransactionInfo& info, TModbusFileRecordList& list) {
                std::vector<int> values;
                for (int i = 0; i < list.Count(); ++i)
                    values.insert(values.end(), list.Items(i).Values().begin(), list.Items(i).Values().end());
                Add(name, info, values);
            };
        };
        client.OnFileRecordRead = files("FileRecordRead");
        client.OnFileRecordWrite = files("FileRecordWrite");
        client.OnMultipleRegistersReadWrite = [this](TModbusClient*, const TTransactionInfo& info, uint16_t,
                                                     uint16_t, const TRegValues& read, uint16_t, uint16_t,
                                                     const TRegValues& written) {
            std::vector<int> values(read.begin(), read.end());
            values.insert(values.end(), written.begin(), written.end());
            Add("MultipleRegistersReadWrite", info, values);
        };
        auto registers = [this](const char* name) {
            return [this, name](TModbusClient*, const TTransactionInfo& info, uint16_t, uint16_t,
                                const TRegValues& values) { Add(name, info, {values.begin(), values.end()}); };
        };
        client.OnHoldingRegistersRead = registers("HoldingRegistersRead");
        client.OnInputRegistersRead = registers("InputRegistersRead");
        client.OnMultipleRegistersWrite = registers("MultipleRegistersWrite");
        client.OnSingleRegisterWrite = [this](TModbusClient*, const TTransactionInfo& info, uint16_t addr,
                                              uint16_t value) { Add("SingleRegisterWrite", info, {addr, value}); };
        client.OnServerIdentificationReport = [this](TModbusClient*, const TTransactionInfo& info, int count,
                                                     const TServerIdentificationData& data) {
            std::vector<int> values{count};
            values.insert(values.end(), data.begin(), data.end());
            Add("ServerIdentificationReport", info, values);
        };
        client.OnTransactionProcessed = [this](TModbusClient*, const TTransactionInfo& info, uint8_t command,
                                               bool) { Add("TransactionProcessed", info, {command}); };
        client.OnConsecutiveTimeoutLimitExceed = [this](TModbusClient*) {
            Add("ConsecutiveTimeoutLimitExceed", {}, {});
        };
    }

    std::vector<TSeenEvent> Events() const { return events_; }
    std::size_t Count(const std::string& name) const
    {
        std::size_t n = 0;
        for (const TSeenEvent& e : events_)
            n += e.Name == name;
        return n;
    }
    // Waits until the transaction with this ID has been processed.
    bool WaitProcessed(uint32_t id, int timeoutMs = 10000) const
    {
        return WaitFor([&] {
            for (const TSeenEvent& e : events_)
                if (e.Name == "TransactionProcessed" && e.Info.ID == id)
                    return true;
            return false;
        }, timeoutMs);
    }
    // The events raised for the transaction with this ID.
    std::vector<TSeenEvent> Of(uint32_t id) const
    {
        std::vector<TSeenEvent> found;
        for (const TSeenEvent& e : events_)
            if (e.Name != "ConsecutiveTimeoutLimitExceed" && e.Info.ID == id)
                found.push_back(e);
        return found;
    }

private:
    void Add(const char* name, const TTransactionInfo& info, std::vector<int> values)
    {
        events_.push_back({name, info, std::move(values)});
    }

    std::vector<TSeenEvent> events_;
};

// A connection opened in RTU on the slave end of a pseudo-terminal, and a
// client of server 1 on it. The test plays the server on Line.Master().
struct TRtuClientOnPty {
    explicit TRtuClientOnPty(uint32_t receiveTimeoutMs = 2000)
    {
        App();
        Connection.SetPort(Line.SlavePath());
        Connection.SetReceiveTimeout(receiveTimeoutMs);
        Connection.SetActive(true);
        Client.SetConnection(&Connection);
    }

    TPtyLine Line;
    TModbusConnection Connection;
    TModbusClient Client;
};

// An RTU frame: the ADU with its CRC, low byte first.
inline Bytes Rtu(Bytes adu)
{
    const uint16_t crc = Crc16(adu.data(), adu.size());
    adu.push_back(static_cast<uint8_t>(crc & 0xFF));
    adu.push_back(static_cast<uint8_t>(crc >> 8));
    return adu;
}

} // namespace serialtest
