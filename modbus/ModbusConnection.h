#pragma once

// One channel to the meters and everything needed to run Modbus over it: a
// serial port with its line settings, or a TCP stream (Modbus/TCP, or RTU
// frames to a serial device server); the timing settings, the worker thread
// that performs every exchange, and the notification sink that hands the
// worker's results to the GUI thread.
// Properties and Active are used on the GUI thread; the worker reads the
// timing settings under the settings lock at each use.

#include "BaudRate.h"
#include "ModbusTransaction.h"
#include "SerialPort.h"
#include "TcpChannel.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

using TFrameData = std::vector<uint8_t>;
class TModbusConnection;
class TNotificationSink;
using TNotifyEvent = std::function<void(TModbusConnection* sender)>;
using TFrameDataEvent = std::function<void(TModbusConnection* sender, const TFrameData& data)>;
using TGetHookedPortHandleEvent = std::function<void(TModbusConnection* sender, int& hookHandle)>;
using TInspectCapturedFrameEvent = std::function<void(TModbusConnection* sender, uint8_t serverAddress,
                                                      uint8_t commandCode, const TFrameData& commandData)>;
using TPreprocessIncomingFrameEvent =
    std::function<void(TModbusConnection* sender, uint8_t* buffer, int capacity, int& dataSize)>;
// Shows an exception caught on the worker (a system error) on the GUI
// thread; the application's "ERROR: " display by default. A lost port is no
// exception but a link state (OnLinkStateChange).
using TExceptionDisplay = std::function<void(const std::exception& error)>;
using TLinkStateEvent = std::function<void(TModbusConnection* sender, const std::string& text)>;

// The rate of a TBaudRate value (brCustom: customRate).
uint32_t BaudRateValue(TBaudRate rate, uint32_t customRate);

class TModbusConnection {
public:
    TModbusConnection();
    ~TModbusConnection();
    TModbusConnection(const TModbusConnection&) = delete;
    TModbusConnection& operator=(const TModbusConnection&) = delete;

    // Opening and closing.
    bool Active() const;
    void SetActive(bool active);
    void Close() { SetActive(false); }

    // Inactive only: a different value while active raises
    // "Connection must NOT be active for the requested action to be performed".
    const std::string& Port() const;
    void SetPort(const std::string& port);
    // A TCP stream instead of the serial port (nothing: the serial port).
    // The line settings then only time the frames; the port name is unused.
    const std::optional<TTcpTarget>& TcpTarget() const;
    void SetTcpTarget(std::optional<TTcpTarget> target);
    TConnectionMode ConnectionMode() const;
    void SetConnectionMode(TConnectionMode mode);
    TTransmissionMode TransmissionMode() const;
    void SetTransmissionMode(TTransmissionMode mode);
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl flow);
    bool DTREnabled() const;
    void SetDTREnabled(bool on);
    bool RTSEnabled() const;
    void SetRTSEnabled(bool on);
    bool HookExistingPort() const;
    void SetHookExistingPort(bool on);
    int InputBufferSize() const;
    void SetInputBufferSize(int size);
    int OutputBufferSize() const;
    void SetOutputBufferSize(int size);

    // Live: reapplied to the open port at once, FrameInterval recomputed.
    TBaudRate BaudRate() const;
    void SetBaudRate(TBaudRate rate);
    uint32_t CustomBaudRate() const;
    void SetCustomBaudRate(uint32_t rate); // also selects brCustom
    TDataBits DataBits() const;
    void SetDataBits(TDataBits bits);
    TParityScheme Parity() const;
    void SetParity(TParityScheme parity);
    TStopBits StopBits() const;
    void SetStopBits(TStopBits bits);
    uint32_t SilentInterval() const;
    void SetSilentInterval(uint32_t characters);

    // Locked: read by the worker at each use.
    bool EchoQueryBeforeReply() const;
    void SetEchoQueryBeforeReply(bool on);
    uint32_t MaxRetries() const;
    void SetMaxRetries(uint32_t retries); // 0 raises "Value must be between %d and %d"
    uint32_t ReceiveTimeout() const;
    void SetReceiveTimeout(uint32_t ms);
    uint32_t RefetchDelay() const;
    void SetRefetchDelay(uint32_t ms);
    uint32_t RTSHoldDelay() const;
    void SetRTSHoldDelay(uint32_t ms);
    uint32_t SendTimeout() const;
    void SetSendTimeout(uint32_t ms);
    uint32_t TurnaroundDelay() const;
    void SetTurnaroundDelay(uint32_t ms);
    TThreadPriority ThreadPriority() const;
    void SetThreadPriority(TThreadPriority priority);

    // RTU: a reply ends as soon as the length its bytes tell is in and its
    // CRC checks, instead of at the silence after it.
    bool EndAtLength() const;
    void SetEndAtLength(bool on);

    uint32_t FrameInterval() const;
    // The pause between frames in microseconds (InterFrameGapUs).
    uint32_t InterFrameGap() const;
    // True once the worker found the port gone; the connection then does no
    // more I/O and finishes every transaction at once with Info.PortLost.
    bool PortLost() const;

    // Used by the request layer, on the GUI thread. A client still
    // registered when the connection is destroyed gets ConnectionDestroyed.
    void RegisterClient(TTransactionClient* client);
    void UnregisterClient(TTransactionClient* client);
    bool IsRegistered(const TTransactionClient* client) const;
    uint32_t NextTransactionID() { return transactionCounter_++; }
    int BufferCapacity() const;
    TFrameMode FrameMode() const;
    void WriteServerAddress(const TTransactionClient* client, TModbusBuffer& buffer) const;
    void AppendChecksum(TModbusBuffer& buffer) const;
    // The connection owns the transaction from here on, also when it raises
    // ("Connection MUST be active for the requested action to be performed").
    void EnqueueTransaction(std::unique_ptr<TModbusTransaction> transaction, TTransactionClient* client);
    // Frees the client's queued transactions; the one in progress goes on.
    void CancelClientTransactions(const TTransactionClient* client);

    // Events.
    TNotifyEvent OnBeforeOpen, OnAfterOpen, OnBeforeClose, OnAfterClose;
    // The three events that run on the worker are taken as they are
    // assigned when the connection opens; a change takes effect at the next
    // open, since the worker may be calling them at any moment.
    TNotifyEvent OnBeforeFrameSendAsync, OnAfterFrameSendAsync; // worker thread
    TPreprocessIncomingFrameEvent OnPreprocessIncomingFrame;    // worker thread
    // A frame copy is taken only while the handler is assigned; the worker
    // learns that at the open and at each EnqueueTransaction.
    TFrameDataEvent OnFrameSend, OnFrameReceive;                 // GUI thread, posted
    TGetHookedPortHandleEvent OnGetHookedPortHandle;
    TInspectCapturedFrameEvent OnInspectCapturedFrame;           // GUI thread, posted
    TNotifyEvent OnInvalidFrameDiscard;                          // GUI thread, posted
    // GUI thread, posted in order with the other notifications. Unassigned,
    // the sink raises the exception again from its event handler, where the
    // application's exception handler shows it.
    TExceptionDisplay OnWorkerException;
    // GUI thread, posted: a TCP stream kept open was connected, lost or
    // refused, or the serial port was lost, in words, once per change.
    TLinkStateEvent OnLinkStateChange;

private:
    friend class TNotificationSink;
    struct TState;
    struct TLockedSettings;

    template <class T> T ReadLocked(T TLockedSettings::*field) const;
    template <class T> void WriteLocked(T TLockedSettings::*field, T value);
    template <class T> void SetInactiveOnly(T& field, const T& value);
    template <class T> void SetLive(T& field, const T& value);
    void LineChanged();
    void OpenConnection();
    void OpenPort();
    void CloseConnection();
    void ReleaseWorkerAndPort();
    TByteChannel& Channel();
    TLineSettings LineSettings() const;
    void UpdateFrameInterval();
    void UpdateFrameCopies();
    // Whether the sink may hand a finished transaction to its client.
    bool CanDeliver() const;

    std::unique_ptr<TState> d_;
    uint32_t transactionCounter_ = 0;
};
