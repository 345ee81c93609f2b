#pragma once

// A TCP stream as the exchange worker's channel: to a Modbus/TCP server, or
// to a serial device server that carries RTU frames in transparent mode.
// The connection is made when a transaction needs it. Kept open, it carries
// every transaction after it until the peer closes or resets it, the stream
// goes unsound or the program closes it; the next transaction then connects
// again. After a failed connect the next try waits a back-off that doubles
// up to MaxBackOffMs, so a dead gateway is not stormed with connects; a
// transaction within the back-off fails at once. Otherwise every
// transaction connects anew and closes after its last attempt.
//
// Every change of the connection's state (connected, lost, refused) is
// told once through OnStateChange, on the worker thread; a connection per
// transaction tells only its failures.

#include "ByteChannel.h"
#include "TcpSocket.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

// Result codes of a TCP channel's failures, beside the meter's exception
// codes and the exchange's own.
namespace TcpFailure {
constexpr int32_t SocketError = static_cast<int32_t>(0x800405E9);        // the machine's socket layer failed
constexpr int32_t SocketWriteError = static_cast<int32_t>(0x800405EA);   // the request could not be sent
constexpr int32_t SocketReadError = static_cast<int32_t>(0x800405EB);    // the peer closed or reset the connection
constexpr int32_t SocketNotConnected = static_cast<int32_t>(0x800405EC); // refused, unreachable or timed out
} // namespace TcpFailure

struct TTcpTarget {
    std::string Host;
    int Port = 502;
    int ConnectTimeoutMs = 5000;
    bool KeepOpen = false;
};

class TTcpChannel final : public TByteChannel {
public:
    static constexpr int FirstBackOffMs = 250;
    static constexpr int MaxBackOffMs = 8000;

    explicit TTcpChannel(TTcpTarget target);

    int32_t Prepare() override;
    bool WriteFrame(const uint8_t* data, std::size_t len, uint32_t rtsHoldDelay) override;
    bool WaitForData(int timeoutMs) override;
    std::size_t ReadAvailable(uint8_t* dest, std::size_t n) override;
    void Discard() override;
    void Abort() override;
    void EndWaits() override { Abort(); }
    bool Usable() const override { return socket_.Connected() && !aborted_; }
    int Handle() const override { return -1; }
    int32_t TakeFailure() override;
    std::string FailureText() const override { return failureText_; }
    void EndTransaction(bool streamSound) override;

    std::function<void(const std::string& text)> OnStateChange;

private:
    using TClock = std::chrono::steady_clock;
    enum class TState { Idle, Connected, Down };

    void Fail(int32_t code, const std::string& text);
    void Close();
    void Tell(TState state, const std::string& text);
    std::string Name() const;

    const TTcpTarget target_;
    std::atomic<bool> aborted_{false};
    TTcpSocket socket_;
    TState told_ = TState::Idle;
    int32_t failure_ = 0;
    std::string failureText_;
    int backOffMs_ = 0;
    TClock::time_point nextConnect_{};
};
