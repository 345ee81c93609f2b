#include "KelvaneCOM.h"

#include "ModbusPdu.h"

#include "SerialPortList.h"

#include <QCoreApplication>

#include <algorithm>
#include <bit>
#include <chrono>
#include <thread>

namespace {

constexpr int MaxReadCount = 125;
constexpr int LastProtocolAddress = 65535;

// The customary one-based holding-register numbering: 40,001 is register 0.
int ApplyRegisterRule(int reg)
{
    return reg > 40000 ? reg - 40001 : reg;
}

bool IsProtocolAddress(int reg)
{
    return reg >= 0 && reg <= LastProtocolAddress;
}

uint32_t TickCount()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// An exchange that ended before anything was sent; the last result is left
// alone, as it tells of the meter.
TExchange Refused(int32_t result)
{
    TExchange exchange;
    exchange.Result = result;
    return exchange;
}

} // namespace

TKelvane::TKelvane(const QString& target, bool tcp)
    : TKelvane(target, tcp ? TLinkKind::Tcp : TLinkKind::Serial)
{
}

TKelvane::TKelvane(const QString& target, TLinkKind kind, TOpen open)
    : target_(target),
      transport_(std::make_unique<TLinkTransport>(kind, target, properties_, open == TOpen::Now)),
      image_(2 * static_cast<std::size_t>(RegisterSlots))
{
}

TKelvane::~TKelvane() = default;

bool TKelvane::Exchanging() const
{
    return transport_->Exchanging();
}

QString TKelvane::LastOpenError() const
{
    return transport_->LastOpenError();
}

TExchange TKelvane::Read(uint8_t address, uint8_t function, int first, int last, const bool& abort)
{
    first = ApplyRegisterRule(first);
    last = ApplyRegisterRule(last);
    const int count = last - first + 1;
    if (!IsProtocolAddress(first) || !IsProtocolAddress(last))
        return Refused(MeterResult::RegisterOutOfRange);
    if (count > MaxReadCount || count < 1)
        return Refused(MeterResult::InvalidCount);

    const uint8_t used = transport_->ReadFunction(function);
    TExchange exchange;
    lastResult_ = ResultPending;
    // Unit 0 is a broadcast on a serial line and through a device server,
    // which no meter answers; over Modbus/TCP it is an address like any other.
    if (address == 0 && Kind() != TLinkKind::Tcp) {
        exchange.Result = MeterResult::ReadFromBroadcast;
    } else {
        std::vector<uint16_t> values(static_cast<std::size_t>(count));
        exchange.Result = transport_->ReadRegisters(address, used, static_cast<uint16_t>(first), values, abort, exchange);
        if (exchange.Result == 0) {
            const uint8_t wordOrder = WordOrder();
            const auto image = image_.begin() + first + (used == 3 ? 0 : RegisterSlots);
            std::copy_n(values.begin(), std::min<std::size_t>(values.size(), static_cast<std::size_t>(count)), image);
            if (used == 3 && WordOrder() != wordOrder)
                ForgetOtherReads(first, count);
        }
    }
    lastResult_ = exchange.Result;
    if (used == 3)
        NoteRead(first, count, lastResult_);
    return exchange;
}

TExchange TKelvane::Write(uint8_t address, int reg, int32_t value, const bool& abort)
{
    return WriteProtocolRegister(address, ApplyRegisterRule(reg), value, abort);
}

TExchange TKelvane::WriteProtocolRegister(uint8_t address, int reg, int32_t value, const bool& abort)
{
    if (!IsProtocolAddress(reg))
        return Refused(MeterResult::RegisterOutOfRange);
    TExchange exchange;
    lastResult_ = ResultPending;
    exchange.Result =
        transport_->WriteRegister(address, static_cast<uint16_t>(reg), static_cast<uint16_t>(value), abort, exchange);
    lastResult_ = exchange.Result;
    return exchange;
}

TExchange TKelvane::WriteMultiple(uint8_t address, int first, std::span<const int32_t> values, const bool& abort)
{
    const auto last = static_cast<long long>(first) + static_cast<long long>(values.size()) - 1;
    if (!IsProtocolAddress(first) || last > LastProtocolAddress)
        return Refused(MeterResult::RegisterOutOfRange);

    std::vector<uint16_t> words(values.size());
    std::transform(values.begin(), values.end(), words.begin(),
                   [](int32_t v) { return static_cast<uint16_t>(v); });
    TExchange exchange;
    lastResult_ = ResultPending;
    exchange.Result = transport_->WriteMultipleRegisters(address, static_cast<uint16_t>(first), words, abort, exchange);
    lastResult_ = exchange.Result;
    return exchange;
}

TKelvane::TForwarded TKelvane::Forward(uint8_t address, const QByteArray& pdu, const bool& abort)
{
    TForwarded forwarded;
    TExchange& exchange = forwarded.Exchange;
    exchange.Result = transport_->Forward(address, std::vector<uint8_t>(pdu.begin(), pdu.end()), abort, exchange);
    if (exchange.Result != MeterResult::Success && exchange.Result <= 0)
        return forwarded;
    // The frame without the transport's own bytes: the MBAP header, or the
    // address and the CRC of RTU.
    const QByteArray frame = exchange.Reply();
    const TTransportLayout layout = Kind() == TLinkKind::Tcp ? TcpLayout : RtuLayout;
    const auto pduSize = frame.size() - qsizetype(layout.HeaderSize + layout.ChecksumSize);
    if (pduSize > 0)
        forwarded.Reply = frame.mid(qsizetype(layout.HeaderSize), pduSize);
    return forwarded;
}

// Over Modbus/TCP nothing is sent and the caller sees that no
// identification came back; the last result is left alone.
QByteArray TKelvane::Modbus17(uint8_t address, const bool& abort, TExchange* exchange)
{
    identText_.clear();
    QByteArray text;
    TExchange own;
    const int32_t previous = lastResult_;
    lastResult_ = ResultPending;
    own.Result = transport_->Modbus17(address, text, abort, own).value_or(previous);
    lastResult_ = own.Result;
    identText_ = text;
    if (exchange)
        *exchange = std::move(own);
    return identText_;
}

int32_t TKelvane::HoldingAt(int n) const
{
    if (n < 0 || n >= RegisterSlots)
        return 0;
    return image_[static_cast<std::size_t>(n)];
}

int32_t TKelvane::GetRegister(int reg) const
{
    const int n = ApplyRegisterRule(reg);
    const int32_t v = HoldingAt(n);
    if (const auto def = RegisterBitDefs::Lookup(n))
        return MaskedNumber(v, def->Bits, def->Signed);
    return v;
}

int32_t TKelvane::GetRegisterFunc4(int reg) const
{
    if (reg < 0 || reg >= RegisterSlots)
        return 0;
    return image_[static_cast<std::size_t>(RegisterSlots + reg)];
}

int32_t TKelvane::GetRegister32(int first, int second, uint8_t wordOrder) const
{
    const int32_t a = HoldingAt(ApplyRegisterRule(first));
    const int32_t b = HoldingAt(ApplyRegisterRule(second));
    const uint32_t high = static_cast<uint32_t>(wordOrder == 1 ? b : a);
    const uint32_t low = static_cast<uint32_t>(wordOrder == 1 ? a : b);
    return static_cast<int32_t>((high << 16) + low);
}

double TKelvane::GetRegisterFloat(int first, int second, uint8_t wordOrder) const
{
    const auto a = static_cast<uint32_t>(HoldingAt(ApplyRegisterRule(first))) & 0xFFFF;
    const auto b = static_cast<uint32_t>(HoldingAt(ApplyRegisterRule(second))) & 0xFFFF;
    const uint32_t bits = wordOrder == 1 ? (b << 16 | a) : (a << 16 | b);
    return static_cast<double>(std::bit_cast<float>(bits));
}

std::optional<double> TKelvane::LoggedQuantity(int index) const
{
    const int first = LoggedQuantityFirst + 2 * index;
    if (!LatestReadOk(first) || !LatestReadOk(first + 1))
        return std::nullopt;
    return GetRegisterFloat(first, first + 1, WordOrder());
}

uint8_t TKelvane::WordOrder() const
{
    return (GetRegister(RegisterMap::ConfigWord) & RegisterMap::WordOrderBit) ? 1 : 0;
}

bool TKelvane::LatestReadOk(int reg) const
{
    const int n = ApplyRegisterRule(reg);
    return n >= 0 && n < RegisterSlots && readOk_[static_cast<std::size_t>(n)];
}

TKelvane::TImageCopy TKelvane::CopyImage(int first, int last) const
{
    TImageCopy copy;
    copy.First = std::clamp(first, 0, RegisterSlots);
    const int end = std::clamp(last + 1, copy.First, RegisterSlots);
    copy.Values.assign(image_.begin() + copy.First, image_.begin() + end);
    copy.ReadOk.assign(readOk_.begin() + copy.First, readOk_.begin() + end);
    return copy;
}

void TKelvane::RestoreImage(const TImageCopy& copy)
{
    std::copy(copy.Values.begin(), copy.Values.end(), image_.begin() + copy.First);
    std::copy(copy.ReadOk.begin(), copy.ReadOk.end(), readOk_.begin() + copy.First);
}

// The meter's word order changed with this read: every 32-bit and floating
// value read before it came in the other order and would now be decoded
// wrongly, so none of them counts as read until it is read again.
void TKelvane::ForgetOtherReads(int first, int count)
{
    std::fill(readOk_.begin(), readOk_.begin() + first, false);
    std::fill(readOk_.begin() + first + count, readOk_.end(), false);
}

// A read turned away because another one is under way has read nothing and
// leaves the marks as they are.
void TKelvane::NoteRead(int first, int count, int result)
{
    if (result != ResultPending)
        std::fill_n(readOk_.begin() + first, count, result == 0);
}

void TKelvane::ResetRegisters()
{
    std::fill_n(image_.begin(), 1001, 0);
    std::fill_n(image_.begin() + RegisterSlots, 1001, 0);
    std::fill_n(readOk_.begin(), 1001, false);
}

int32_t TKelvane::MaskedNumber(int32_t value, int bits, bool isSigned)
{
    return ::MaskedNumber(value, bits, isSigned);
}

QString TKelvane::ErrorCode(int32_t code)
{
    switch (code) {
    case 0: return "OK";
    case 1: return "Exception: Illegal Function";
    case 2: return "Exception: Illegal Data Address";
    case 3: return "Exception: Illegal Data Value";
    case 4: return "Exception: Slave Device Failure";
    case 5: return "Exception: Acknowledge";
    case 6: return "Exception: Slave Device Busy";
    case MeterException::GatewayPathUnavailable: return "Exception: Gateway Path Unavailable";
    case MeterException::GatewayTargetFailed: return "Exception: Gateway Target Device Failed to Respond";
    case 512: return "Offset Error";
    case -1: return "Timeout";
    case -2: return "Invalid Response";
    case -3: return "Unexpected Response";
    case -4: return "Unmatched Response";
    case -5: return "Exception";
    case -6: return "Unknown Response Error";
    case MeterResult::InvalidCount: return "Invalid Reg Count (must be 1-125)";
    case MeterResult::ReadFromBroadcast: return "No Read From Address 0 (Broadcast): choose the meter's address";
    case MeterResult::RegisterOutOfRange: return "Register Number Out of Range (0-65535): nothing sent";
    case MeterResult::Discarded: return "Reply Discarded";
    case MeterResult::PortLost: return "Port Lost (reconnect the adapter, then choose the port again)";
    case MeterResult::Cancelled: return "Request Cancelled (port closed or address changed)";
    case static_cast<int32_t>(0x800405E8): return "Buffer Overflow";
    case static_cast<int32_t>(0x800405E9): return "Socket Error";
    case static_cast<int32_t>(0x800405EA): return "Socket Write Error";
    case static_cast<int32_t>(0x800405EB): return "Socket Read Error";
    case static_cast<int32_t>(0x800405EC): return "Socket Not Connected";
    default: return QString::number(code);
    }
}

QString TKelvane::Hexa(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size() * 4);
    for (char c : bytes)
        text += QStringLiteral("(%1)").arg(static_cast<uint8_t>(c), 2, 16, QChar('0')).toUpper();
    return text;
}

void TKelvane::EnumComPorts(QStringList& list)
{
    std::vector<std::string> ports;
    EnumerateSerialPorts(ports);
    list.clear();
    for (const auto& p : ports)
        list.append(QString::fromStdString(p));
    list.sort(Qt::CaseInsensitive);
}

void TKelvane::Delay(uint32_t ms)
{
    const uint32_t t0 = TickCount();
    uint32_t t;
    do {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
        t = TickCount();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (t - t0 < ms);
}

void TKelvane::SetComPort(const QString& name)
{
    transport_->SetComPort(name);
}

void TKelvane::SetBaudRate(TBaudRate rate)
{
    transport_->SetBaudRate(rate);
}

void TKelvane::SetActive(bool active)
{
    transport_->SetActive(active);
}

void TKelvane::SetRXTimeout(int32_t ms)
{
    transport_->SetRXTimeout(ms);
}

void TKelvane::SetEcho(bool on)
{
    transport_->SetEcho(on);
}

int TKelvane::TcpPort() const
{
    return transport_->TcpPort();
}

TLinkKind TKelvane::Kind() const
{
    return transport_->Kind();
}

bool TKelvane::EndAtLength() const
{
    return transport_->EndAtLength();
}

void TKelvane::SetEndAtLength(bool on)
{
    transport_->SetEndAtLength(on);
}

bool TKelvane::KeepConnection() const
{
    return transport_->KeepConnection();
}

void TKelvane::SetKeepConnection(bool on)
{
    transport_->SetKeepConnection(on);
}

void TKelvane::SetOnLinkState(std::function<void(const QString& text)> handler)
{
    transport_->OnLinkState = std::move(handler);
}

void TKelvane::SetTcpPort(int port)
{
    transport_->SetTcpPort(port);
}
