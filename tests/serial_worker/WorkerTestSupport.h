#pragma once

// The pieces of the serial worker tests: a meter played by the test on the
// master side of a pseudo-terminal, a client that records what the
// connection hands back, frames built with checksums of the test's own, and
// a wait that runs the Qt event loop until a condition holds.

#include "ModbusConnection.h"
#include "PtyLine.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <unistd.h>

using TBytes = std::vector<uint8_t>;
using TClock = std::chrono::steady_clock;

// What the application's exception handler showed, in order.
std::vector<std::string>& ShownErrors();

inline int64_t MsSince(TClock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

// Runs the event loop until condition holds or a generous limit passes.
template <class TCondition>
bool WaitFor(TCondition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = TClock::now() + limit;
    while (!condition()) {
        if (TClock::now() >= deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// CRC-16/MODBUS bit by bit, low byte first on the wire.
inline TBytes Rtu(TBytes adu)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : adu) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    adu.push_back(static_cast<uint8_t>(crc & 0xFF));
    adu.push_back(static_cast<uint8_t>(crc >> 8));
    return adu;
}

inline TBytes Ascii(const TBytes& adu)
{
    static const char hex[] = "0123456789ABCDEF";
    uint8_t sum = 0;
    TBytes frame{':'};
    auto put = [&](uint8_t b) {
        frame.push_back(static_cast<uint8_t>(hex[b >> 4]));
        frame.push_back(static_cast<uint8_t>(hex[b & 15]));
    };
    for (uint8_t b : adu) {
        sum = static_cast<uint8_t>(sum + b);
        put(b);
    }
    put(static_cast<uint8_t>(-sum));
    frame.push_back('\r');
    frame.push_back('\n');
    return frame;
}

inline TBytes Concat(TBytes a, const TBytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One thing the meter does after a request: wait, then write or hang up.
struct TPeerStep {
    int DelayMs = 0;
    TBytes Data;
    bool HangUp = false;
};
using TAnswer = std::function<std::vector<TPeerStep>(const TBytes& request, int index)>;

struct TPeerRequest {
    TBytes Data;
    TClock::time_point Time;
};

// The meter on the master side of a pseudo-terminal. It keeps a descriptor
// of the slave open, so that the line stays up while the connection closes
// and reopens; closing the master hangs the line up like an unplugged adapter.
class TMeterPeer {
public:
    TMeterPeer() : stop_(::eventfd(0, EFD_CLOEXEC)) {}
    ~TMeterPeer()
    {
        HangUp();
        ::close(stop_);
    }
    TMeterPeer(const TMeterPeer&) = delete;
    TMeterPeer& operator=(const TMeterPeer&) = delete;

    const std::string& Path() const { return line_.SlavePath(); }
    int Master() const { return line_.Master(); }
    int Slave() const { return line_.Slave(); }

    // Answers every request of requestLength bytes as answer says, on a
    // thread of its own.
    void Answer(std::size_t requestLength, TAnswer answer)
    {
        thread_ = std::thread([this, requestLength, answer] { Run(requestLength, answer); });
    }
    // Writes from the test's thread, while the meter answers nothing.
    void Write(const TBytes& data) const
    {
        if (::write(line_.Master(), data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            throw std::runtime_error("write to the pty master failed");
    }
    void HangUp()
    {
        Stop();
        line_.CloseMaster();
    }
    std::size_t RequestCount() const
    {
        std::lock_guard lock(lock_);
        return requests_.size();
    }
    std::vector<TPeerRequest> Requests() const
    {
        std::lock_guard lock(lock_);
        return requests_;
    }

private:
    void Stop()
    {
        if (!thread_.joinable())
            return;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
    }

    void Run(std::size_t requestLength, const TAnswer& answer)
    {
        for (int index = 0;; ++index) {
            TBytes request;
            if (!Read(requestLength, request))
                return;
            {
                std::lock_guard lock(lock_);
                requests_.push_back({request, TClock::now()});
            }
            for (const TPeerStep& step : answer(request, index)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.DelayMs));
                if (step.HangUp) {
                    line_.CloseMaster();
                    return;
                }
                Write(step.Data);
            }
        }
    }

    bool Read(std::size_t n, TBytes& got) const
    {
        while (got.size() < n) {
            pollfd fds[2] = {{line_.Master(), POLLIN, 0}, {stop_, POLLIN, 0}};
            ::poll(fds, 2, -1);
            if (fds[1].revents & POLLIN)
                return false;
            uint8_t chunk[512];
            const ssize_t r = ::read(line_.Master(), chunk, std::min(sizeof chunk, n - got.size()));
            if (r > 0)
                got.insert(got.end(), chunk, chunk + r);
        }
        return true;
    }

    TPtyLine line_{true};
    int stop_;
    mutable std::mutex lock_;
    std::vector<TPeerRequest> requests_;
    std::thread thread_;
};

// Records every transaction the connection hands back; unregisters itself
// when it goes first, as a client does.
class TTestClient : public TTransactionClient {
public:
    explicit TTestClient(uint8_t address = 1) : Address(address) {}
    ~TTestClient()
    {
        if (connection_)
            connection_->UnregisterClient(this);
    }
    TTestClient(const TTestClient&) = delete;
    TTestClient& operator=(const TTestClient&) = delete;
    void Register(TModbusConnection& connection)
    {
        connection_ = &connection;
        connection.RegisterClient(this);
    }
    uint8_t ServerAddress() const override { return Address; }
    void ProcessTransaction(TModbusTransaction& transaction) override
    {
        Done.push_back(transaction.Info);
        Replies.emplace_back(transaction.ReplyBuffer.Data(),
                             transaction.ReplyBuffer.Data() + transaction.ReplyBuffer.Size());
        if (OnProcess)
            OnProcess(transaction);
    }
    void ConnectionDestroyed(TModbusConnection&) override
    {
        ++DestroyedCalls;
        connection_ = nullptr;
    }

    uint8_t Address;
    std::vector<TTransactionInfo> Done;
    std::vector<TBytes> Replies;
    std::function<void(TModbusTransaction&)> OnProcess;
    int DestroyedCalls = 0;

private:
    TModbusConnection* connection_ = nullptr;
};

// A read of count holding registers from start, queued for client.
inline uint32_t EnqueueRead(TModbusConnection& connection, TTestClient& client, uint16_t start = 0,
                            uint16_t count = 2)
{
    auto transaction = std::make_unique<TModbusTransaction>(connection.BufferCapacity());
    const uint32_t id = connection.NextTransactionID();
    transaction->Info.ID = id;
    transaction->Info.ServerAddress = client.Address;
    TModbusBuffer& request = transaction->RequestBuffer;
    connection.WriteServerAddress(&client, request);
    request.WriteByte(3);
    request.WriteWord(start);
    request.WriteWord(count);
    connection.AppendChecksum(request);
    connection.EnqueueTransaction(std::move(transaction), &client);
    return id;
}

// The reply of unit 1 to a read of two registers: the values 10 and 11.
inline TBytes GoodAdu(uint8_t unit = 1) { return {unit, 3, 4, 0, 10, 0, 11}; }

// A connection on the peer's line at 9600 8N1 with a frame interval of
// 188 ms (SilentInterval 200), long enough that a busy machine does not
// split a reply written in pieces a few ms apart.
inline void SetUpLine(TModbusConnection& connection, const TMeterPeer& peer, uint32_t receiveTimeout = 400)
{
    connection.SetPort(peer.Path());
    connection.SetBaudRate(TBaudRate::br9600);
    connection.SetParity(TParityScheme::psNone);
    connection.SetSilentInterval(200);
    connection.SetReceiveTimeout(receiveTimeout);
}
