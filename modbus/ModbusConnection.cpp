#include "ModbusConnection.h"

#include "ClockResolution.h"
#include "NotificationSink.h"
#include "TransactionThread.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace {

const char* const MustNotBeActive = "Connection must NOT be active for the requested action to be performed";
const char* const MustBeActive = "Connection MUST be active for the requested action to be performed";

} // namespace

uint32_t BaudRateValue(TBaudRate rate, uint32_t customRate)
{
    static constexpr uint32_t rates[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                                         19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return rate == TBaudRate::brCustom ? customRate : rates[static_cast<int>(rate)];
}

// The settings the worker reads at each use, under the settings lock.
struct TModbusConnection::TLockedSettings {
    bool EchoQueryBeforeReply = false;
    uint32_t MaxRetries = 1;
    uint32_t ReceiveTimeout = 1000;
    uint32_t RefetchDelay = 0;
    uint32_t RTSHoldDelay = 0;
    uint32_t SendTimeout = 1000;
    uint32_t TurnaroundDelay = 100;
    uint32_t FrameInterval = 0;
    uint32_t InterFrameGap = 0;
    bool EndAtLength = false;
};

struct TModbusConnection::TState {
    // Used on the GUI thread only; the worker gets what it needs at the open.
    std::string Port = "COM1";
    TConnectionMode ConnectionMode = TConnectionMode::cmClient;
    TTransmissionMode TransmissionMode = TTransmissionMode::tmRTU;
    TFlowControl FlowControl = TFlowControl::fcNone;
    bool DTREnabled = true;
    bool RTSEnabled = true;
    bool HookExistingPort = false;
    int InputBufferSize = 1024;
    int OutputBufferSize = 1024;
    TBaudRate BaudRate = TBaudRate::br19200;
    uint32_t CustomBaudRate = 19200;
    TDataBits DataBits = TDataBits::db8;
    TParityScheme Parity = TParityScheme::psEven;
    TStopBits StopBits = TStopBits::sb1;
    uint32_t SilentInterval = 4;
    TThreadPriority ThreadPriority = TThreadPriority::tpNormal;

    mutable std::shared_mutex SettingsLock;
    TLockedSettings Locked;

    bool Active = false;
    bool Destroying = false;
    std::vector<TTransactionClient*> Clients;
    // Declared so that the worker goes first, then the port, then the sink.
    std::unique_ptr<TNotificationSink> Sink;
    TSerialPort SerialPort;
    std::optional<TTcpTarget> Tcp;
    std::unique_ptr<TTcpChannel> TcpChannel;
    std::unique_ptr<TTransactionThread> Worker;
};

TModbusConnection::TModbusConnection() : d_(std::make_unique<TState>())
{
    TSystemClockResolutionEnhancer::Initialize();
    d_->Sink = std::make_unique<TNotificationSink>(*this);
}

TModbusConnection::~TModbusConnection()
{
    d_->Destroying = true;
    try {
        SetActive(false);
    } catch (...) {
        // A close handler raised; a destructor cannot pass that on, and the
        // port is released below all the same.
    }
    ReleaseWorkerAndPort();
    for (TTransactionClient* client : std::exchange(d_->Clients, {}))
        client->ConnectionDestroyed(*this);
}

// ---------------------------------------------------------------- settings

template <class T>
T TModbusConnection::ReadLocked(T TLockedSettings::*field) const
{
    std::shared_lock lock(d_->SettingsLock);
    return d_->Locked.*field;
}

template <class T>
void TModbusConnection::WriteLocked(T TLockedSettings::*field, T value)
{
    std::unique_lock lock(d_->SettingsLock);
    d_->Locked.*field = value;
}

template <class T>
void TModbusConnection::SetInactiveOnly(T& field, const T& value)
{
    if (field == value)
        return;
    if (d_->Active)
        throw EModbusError(MustNotBeActive);
    field = value;
}

template <class T>
void TModbusConnection::SetLive(T& field, const T& value)
{
    if (field == value)
        return;
    field = value;
    LineChanged();
}

// The value stays changed even when the open port refuses it.
void TModbusConnection::LineChanged()
{
    if (!d_->Active)
        return;
    if (!d_->Tcp)
        d_->SerialPort.ApplyLineSettings(LineSettings());
    UpdateFrameInterval();
}

const std::string& TModbusConnection::Port() const { return d_->Port; }
void TModbusConnection::SetPort(const std::string& port) { SetInactiveOnly(d_->Port, port); }
const std::optional<TTcpTarget>& TModbusConnection::TcpTarget() const { return d_->Tcp; }

void TModbusConnection::SetTcpTarget(std::optional<TTcpTarget> target)
{
    if (d_->Active)
        throw EModbusError(MustNotBeActive);
    d_->Tcp = std::move(target);
}

TConnectionMode TModbusConnection::ConnectionMode() const { return d_->ConnectionMode; }
void TModbusConnection::SetConnectionMode(TConnectionMode mode) { SetInactiveOnly(d_->ConnectionMode, mode); }
TTransmissionMode TModbusConnection::TransmissionMode() const { return d_->TransmissionMode; }
void TModbusConnection::SetTransmissionMode(TTransmissionMode mode) { SetInactiveOnly(d_->TransmissionMode, mode); }
TFlowControl TModbusConnection::FlowControl() const { return d_->FlowControl; }
void TModbusConnection::SetFlowControl(TFlowControl flow) { SetInactiveOnly(d_->FlowControl, flow); }
bool TModbusConnection::DTREnabled() const { return d_->DTREnabled; }
void TModbusConnection::SetDTREnabled(bool on) { SetInactiveOnly(d_->DTREnabled, on); }
bool TModbusConnection::RTSEnabled() const { return d_->RTSEnabled; }
void TModbusConnection::SetRTSEnabled(bool on) { SetInactiveOnly(d_->RTSEnabled, on); }
bool TModbusConnection::HookExistingPort() const { return d_->HookExistingPort; }
void TModbusConnection::SetHookExistingPort(bool on) { SetInactiveOnly(d_->HookExistingPort, on); }
// Linux has no call for the driver's queue sizes: they are kept, without effect.
int TModbusConnection::InputBufferSize() const { return d_->InputBufferSize; }
void TModbusConnection::SetInputBufferSize(int size) { SetInactiveOnly(d_->InputBufferSize, size); }
int TModbusConnection::OutputBufferSize() const { return d_->OutputBufferSize; }
void TModbusConnection::SetOutputBufferSize(int size) { SetInactiveOnly(d_->OutputBufferSize, size); }

TBaudRate TModbusConnection::BaudRate() const { return d_->BaudRate; }
void TModbusConnection::SetBaudRate(TBaudRate rate) { SetLive(d_->BaudRate, rate); }
uint32_t TModbusConnection::CustomBaudRate() const { return d_->CustomBaudRate; }
TDataBits TModbusConnection::DataBits() const { return d_->DataBits; }
void TModbusConnection::SetDataBits(TDataBits bits) { SetLive(d_->DataBits, bits); }
TParityScheme TModbusConnection::Parity() const { return d_->Parity; }
void TModbusConnection::SetParity(TParityScheme parity) { SetLive(d_->Parity, parity); }
TStopBits TModbusConnection::StopBits() const { return d_->StopBits; }
void TModbusConnection::SetStopBits(TStopBits bits) { SetLive(d_->StopBits, bits); }
uint32_t TModbusConnection::SilentInterval() const { return d_->SilentInterval; }

// Setting a custom rate always means using it, so it selects brCustom also
// when the rate itself is unchanged.
void TModbusConnection::SetCustomBaudRate(uint32_t rate)
{
    const bool changed = rate != d_->CustomBaudRate || d_->BaudRate != TBaudRate::brCustom;
    d_->CustomBaudRate = rate;
    d_->BaudRate = TBaudRate::brCustom;
    if (changed)
        LineChanged();
}

void TModbusConnection::SetSilentInterval(uint32_t characters)
{
    if (characters == d_->SilentInterval)
        return;
    d_->SilentInterval = characters;
    if (d_->Active)
        UpdateFrameInterval();
}

bool TModbusConnection::EchoQueryBeforeReply() const { return ReadLocked(&TLockedSettings::EchoQueryBeforeReply); }
void TModbusConnection::SetEchoQueryBeforeReply(bool on) { WriteLocked(&TLockedSettings::EchoQueryBeforeReply, on); }
uint32_t TModbusConnection::MaxRetries() const { return ReadLocked(&TLockedSettings::MaxRetries); }
uint32_t TModbusConnection::ReceiveTimeout() const { return ReadLocked(&TLockedSettings::ReceiveTimeout); }
void TModbusConnection::SetReceiveTimeout(uint32_t ms) { WriteLocked(&TLockedSettings::ReceiveTimeout, ms); }
uint32_t TModbusConnection::RefetchDelay() const { return ReadLocked(&TLockedSettings::RefetchDelay); }
void TModbusConnection::SetRefetchDelay(uint32_t ms) { WriteLocked(&TLockedSettings::RefetchDelay, ms); }
uint32_t TModbusConnection::RTSHoldDelay() const { return ReadLocked(&TLockedSettings::RTSHoldDelay); }
void TModbusConnection::SetRTSHoldDelay(uint32_t ms) { WriteLocked(&TLockedSettings::RTSHoldDelay, ms); }
// Kept for the frame write, which nevertheless waits until the whole frame is sent.
uint32_t TModbusConnection::SendTimeout() const { return ReadLocked(&TLockedSettings::SendTimeout); }
void TModbusConnection::SetSendTimeout(uint32_t ms) { WriteLocked(&TLockedSettings::SendTimeout, ms); }
uint32_t TModbusConnection::TurnaroundDelay() const { return ReadLocked(&TLockedSettings::TurnaroundDelay); }
void TModbusConnection::SetTurnaroundDelay(uint32_t ms) { WriteLocked(&TLockedSettings::TurnaroundDelay, ms); }
uint32_t TModbusConnection::FrameInterval() const { return ReadLocked(&TLockedSettings::FrameInterval); }
uint32_t TModbusConnection::InterFrameGap() const { return ReadLocked(&TLockedSettings::InterFrameGap); }
bool TModbusConnection::EndAtLength() const { return ReadLocked(&TLockedSettings::EndAtLength); }
void TModbusConnection::SetEndAtLength(bool on) { WriteLocked(&TLockedSettings::EndAtLength, on); }

void TModbusConnection::SetMaxRetries(uint32_t retries)
{
    if (retries == 0)
        throw EModbusError("Value must be between 1 and 4294967295");
    WriteLocked(&TLockedSettings::MaxRetries, retries);
}

TThreadPriority TModbusConnection::ThreadPriority() const { return d_->ThreadPriority; }

void TModbusConnection::SetThreadPriority(TThreadPriority priority)
{
    d_->ThreadPriority = priority;
    if (d_->Worker)
        d_->Worker->SetPriority(priority);
}

TLineSettings TModbusConnection::LineSettings() const
{
    TLineSettings line;
    line.Baud = BaudRateValue(d_->BaudRate, d_->CustomBaudRate);
    line.DataBits = d_->DataBits;
    line.Parity = d_->Parity;
    line.StopBits = d_->StopBits;
    line.FlowControl = d_->FlowControl;
    line.RTSEnabled = d_->RTSEnabled;
    line.DTREnabled = d_->DTREnabled;
    return line;
}

void TModbusConnection::UpdateFrameInterval()
{
    const TLineSettings line = LineSettings();
    const TLineTiming timing{line.Baud, line.DataBits, line.Parity, line.StopBits, d_->SilentInterval};
    WriteLocked(&TLockedSettings::FrameInterval, ::FrameInterval(d_->TransmissionMode, timing));
    // A serial device server keeps the gap on its own line.
    WriteLocked(&TLockedSettings::InterFrameGap, d_->Tcp ? 0u : InterFrameGapUs(d_->TransmissionMode, timing));
}

bool TModbusConnection::PortLost() const { return d_->Worker && d_->Worker->PortLost(); }

// ---------------------------------------------------------------- opening and closing

bool TModbusConnection::Active() const { return d_->Active; }

void TModbusConnection::SetActive(bool active)
{
    if (active == d_->Active)
        return;
    if (active)
        OpenConnection();
    else
        CloseConnection();
}

// A failed open holds nothing and leaves the connection inactive, without
// OnAfterOpen. Active is already true while OnAfterOpen runs, so that its
// handler can queue requests.
void TModbusConnection::OpenConnection()
{
    if (OnBeforeOpen)
        OnBeforeOpen(this);
    OpenPort();
    try {
        UpdateFrameInterval();
        TWorkerSetup setup{FrameMode(), d_->ThreadPriority, OnBeforeFrameSendAsync, OnAfterFrameSendAsync,
                           OnPreprocessIncomingFrame};
        d_->Worker = std::make_unique<TTransactionThread>(*this, Channel(), *d_->Sink, std::move(setup));
    } catch (...) {
        d_->SerialPort.Close();
        d_->TcpChannel.reset();
        throw;
    }
    UpdateFrameCopies();
    d_->Active = true;
    if (OnAfterOpen)
        OnAfterOpen(this);
}

// A TCP stream connects when its first transaction needs it.
void TModbusConnection::OpenPort()
{
    if (d_->Tcp) {
        d_->TcpChannel = std::make_unique<TTcpChannel>(*d_->Tcp);
        TNotificationSink& sink = *d_->Sink;
        d_->TcpChannel->OnStateChange = [&sink](const std::string& text) { sink.PostLinkState(text); };
        return;
    }
    if (!d_->HookExistingPort) {
        d_->SerialPort.Open(d_->Port, LineSettings());
        return;
    }
    int handle = -1;
    if (OnGetHookedPortHandle)
        OnGetHookedPortHandle(this, handle);
    if (handle < 0)
        throw EModbusError("Could not open serial port");
    d_->SerialPort.Hook(handle, LineSettings());
}

// The worker finishes the transaction in progress before it ends, so this
// may take that transaction's remaining attempts. Active is already false
// while OnAfterClose runs.
void TModbusConnection::CloseConnection()
{
    if (OnBeforeClose)
        OnBeforeClose(this);
    ReleaseWorkerAndPort();
    if (OnAfterClose)
        OnAfterClose(this);
}

TByteChannel& TModbusConnection::Channel()
{
    if (d_->TcpChannel)
        return *d_->TcpChannel;
    return d_->SerialPort;
}

void TModbusConnection::ReleaseWorkerAndPort()
{
    d_->Worker.reset();
    d_->SerialPort.Close();
    d_->TcpChannel.reset();
    d_->Active = false;
}

// ---------------------------------------------------------------- request layer

void TModbusConnection::RegisterClient(TTransactionClient* client)
{
    if (!IsRegistered(client))
        d_->Clients.push_back(client);
}

void TModbusConnection::UnregisterClient(TTransactionClient* client)
{
    std::erase(d_->Clients, client);
}

bool TModbusConnection::IsRegistered(const TTransactionClient* client) const
{
    return client != nullptr && std::find(d_->Clients.begin(), d_->Clients.end(), client) != d_->Clients.end();
}

int TModbusConnection::BufferCapacity() const { return SerialLayout(d_->TransmissionMode).AduCapacity; }

TFrameMode TModbusConnection::FrameMode() const { return TFrameMode{d_->TransmissionMode, d_->ConnectionMode}; }

void TModbusConnection::WriteServerAddress(const TTransactionClient* client, TModbusBuffer& buffer) const
{
    buffer.WriteByte(client != nullptr ? client->ServerAddress() : 0);
}

void TModbusConnection::AppendChecksum(TModbusBuffer& buffer) const
{
    ::AppendChecksum(d_->TransmissionMode, buffer);
}

void TModbusConnection::EnqueueTransaction(std::unique_ptr<TModbusTransaction> transaction,
                                           TTransactionClient* client)
{
    if (!d_->Active)
        throw EModbusError(MustBeActive);
    transaction->Client = client;
    UpdateFrameCopies();
    d_->Worker->Enqueue(std::move(transaction));
}

void TModbusConnection::CancelClientTransactions(const TTransactionClient* client)
{
    if (d_->Active && d_->ConnectionMode == TConnectionMode::cmClient)
        d_->Worker->CancelClientTransactions(client);
}

void TModbusConnection::UpdateFrameCopies()
{
    d_->Worker->SetFrameCopies(static_cast<bool>(OnFrameSend), static_cast<bool>(OnFrameReceive));
}

bool TModbusConnection::CanDeliver() const { return d_->Active && !d_->Destroying; }
