#include "KelvaneCOM.h"

#include "SerialPortList.h"

#include <QCoreApplication>

#include <algorithm>
#include <bit>
#include <chrono>
#include <thread>

namespace {

constexpr int MaxReadCount = 125;
constexpr int LastProtocolAddress = 65535;
// Refusal of a register number that no request can carry; the meter itself
// would answer such an address with this exception.
constexpr int IllegalDataAddress = 2;

// The customary one-based holding-register numbering: 40,001 is register 0.
int ApplyRegisterRule(int reg)
{
    return reg > 40000 ? reg - 40001 : reg;
}

bool IsProtocolAddress(int reg)
{
    return reg >= 0 && reg <= LastProtocolAddress;
}

// Keeps the GUI answering while an exchange waits, and ends the wait as soon
// as abort is set.
TWaitHook ProcessEventsUntil(const bool& abort)
{
    return [&abort] {
        if (!abort && QCoreApplication::instance())
            QCoreApplication::processEvents();
        return !abort;
    };
}

uint32_t TickCount()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

TKelvane::TKelvane(const QString& target, bool tcp)
    : tcp_(tcp), image_(2 * static_cast<std::size_t>(RegisterSlots), 0)
{
    if (tcp) {
        tcpClient_ = std::make_unique<TIdModBusClient>();
        tcpClient_->Host = target.toStdString();
        tcpClient_->Port = 502;
        tcpClient_->ConnectTimeOut = 5000;
        tcpClient_->TimeOut = 500;
        active_ = TTcpSocket::IsAddress(tcpClient_->Host);
    } else {
        // The serial transport is not available in this build: the link
        // stays inactive and every meter operation refuses to run.
        comPort_ = target;
    }
}

TKelvane::~TKelvane() = default;

void TKelvane::RaiseNoSerialConnection() const
{
    throw EModbusError("There is no active connection");
}

// The client is not re-entrant: an operation that runs inside the wait of
// another one (a menu command, a button) would reuse the request and data
// that the waiting exchange still needs, so it is turned away. An inactive
// link (no IP address to connect to) and a set abort flag send nothing.
template <typename Operation>
int TKelvane::TcpTransaction(uint8_t function, uint8_t address, const bool& abort, Operation operation)
{
    if (exchanging_)
        return ResultPending;
    lastResult_ = -1;
    if (!active_ || abort) {
        TransactionOutput.clear();
        TransactionInput.clear();
        if (!active_)
            lastResult_ = TIdModBusClient::SocketNotConnected;
        return lastResult_;
    }
    tcpClient_->ModBusFunction = function;
    tcpClient_->UnitID = address;
    tcpClient_->WaitHook = ProcessEventsUntil(abort);
    exchanging_ = true;
    struct Finish {
        TKelvane& link;
        ~Finish()
        {
            const auto& sent = link.tcpClient_->LastRequest();
            const auto& received = link.tcpClient_->LastReply();
            link.TransactionOutput = QByteArray(reinterpret_cast<const char*>(sent.data()), sent.size());
            link.TransactionInput = QByteArray(reinterpret_cast<const char*>(received.data()), received.size());
            link.tcpClient_->WaitHook = nullptr;
            link.exchanging_ = false;
        }
    } finish{*this};
    lastResult_ = operation();
    return lastResult_;
}

int TKelvane::ReadRegisters(uint8_t address, uint8_t /*function*/, int first, int last, const bool& abort)
{
    first = ApplyRegisterRule(first);
    last = ApplyRegisterRule(last);
    const int count = last - first + 1;
    if (count > MaxReadCount || count < 1)
        return -7;
    if (!IsProtocolAddress(first) || !IsProtocolAddress(last))
        return IllegalDataAddress;
    if (!tcp_)
        RaiseNoSerialConnection();

    // Every Modbus/TCP read is a function 3 read into the holding image.
    uint16_t buffer[MaxReadCount] = {};
    const int result = TcpTransaction(3, address, abort, [&] {
        return tcpClient_->ReadHoldingRegisters(static_cast<uint16_t>(first), static_cast<uint16_t>(count), buffer);
    });
    if (result == 0)
        std::copy_n(buffer, count, image_.begin() + first);
    NoteRead(first, count, result);
    return result;
}

int TKelvane::WriteRegister(uint8_t address, int reg, int32_t value, const bool& abort)
{
    reg = ApplyRegisterRule(reg);
    if (!IsProtocolAddress(reg))
        return IllegalDataAddress;
    if (!tcp_)
        RaiseNoSerialConnection();

    return TcpTransaction(6, address, abort, [&] {
        return tcpClient_->WriteSingleRegister(static_cast<uint16_t>(reg), static_cast<uint16_t>(value));
    });
}

int TKelvane::WriteMultipleRegisters(uint8_t address, int first, std::span<const int32_t> values,
                                     const bool& abort)
{
    const auto last = static_cast<long long>(first) + static_cast<long long>(values.size()) - 1;
    if (!IsProtocolAddress(first) || last > LastProtocolAddress)
        return IllegalDataAddress;
    if (!tcp_)
        RaiseNoSerialConnection();

    std::vector<uint16_t> words(values.size());
    std::transform(values.begin(), values.end(), words.begin(),
                   [](int32_t v) { return static_cast<uint16_t>(v); });
    return TcpTransaction(16, address, abort, [&] {
        return tcpClient_->WriteMultipleRegisters(static_cast<uint16_t>(first), words);
    });
}

QByteArray TKelvane::Modbus17(uint8_t /*address*/, const bool& /*abort*/)
{
    // Modbus/TCP has no identification exchange here: nothing is sent and
    // the caller sees that no identification came back.
    if (!tcp_)
        RaiseNoSerialConnection();
    return {};
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

uint8_t TKelvane::WordOrder() const
{
    constexpr int ConfigurationWord = 142;
    constexpr int32_t WordOrderBit = 0x2000;
    return (GetRegister(ConfigurationWord) & WordOrderBit) ? 1 : 0;
}

bool TKelvane::LatestReadOk(int reg) const
{
    const int n = ApplyRegisterRule(reg);
    return n >= 0 && n < RegisterSlots && readOk_[static_cast<std::size_t>(n)];
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
    case 10: return "Modbus/TCP: Routing Error";
    case 11: return "Modbus/TCP: Serial Device Timeout or Packet Error";
    case 512: return "Offset Error";
    case -1: return "Timeout";
    case -2: return "Invalid Response";
    case -3: return "Unexpected Response";
    case -4: return "Unmatched Response";
    case -5: return "Exception";
    case -6: return "Unknown Response Error";
    case -7: return "Invalid Reg Count (must be 1-125)";
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
    if (!tcp_)
        comPort_ = name;
}

void TKelvane::SetBaudRate(TBaudRate rate)
{
    if (!tcp_)
        baudRate_ = rate;
}

void TKelvane::SetActive(bool /*active*/)
{
    // A Modbus/TCP link connects per request and is always usable; the
    // serial link of this build cannot open a port and stays inactive.
}

void TKelvane::SetRXTimeout(int32_t ms)
{
    // On Modbus/TCP the receive timeout is the wait for each reply.
    rxTimeout_ = ms;
    if (tcp_ && ms >= 0)
        tcpClient_->TimeOut = static_cast<uint32_t>(ms);
}

int TKelvane::TcpPort() const
{
    return tcp_ ? tcpClient_->Port : 0;
}

void TKelvane::SetTcpPort(int port)
{
    if (tcp_)
        tcpClient_->Port = port;
}
