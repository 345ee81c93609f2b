#include "RtuRequestReader.h"

#include "ModbusFunctions.h"
#include "ModbusPdu.h"
#include "SerialFrame.h"

#include <chrono>
#include <climits>

namespace {

constexpr std::size_t AddressAndCrc = 3;

} // namespace

std::size_t RtuRequestSize(std::span<const uint8_t> adu)
{
    using namespace ModbusFunctions;
    if (adu.size() < 2)
        return 0;
    // The offset of a byte count and the bytes before it, for the requests
    // that carry one.
    const auto counted = [&](std::size_t at) -> std::size_t {
        return adu.size() <= at ? 0 : at + 1 + adu[at] + 2;
    };
    switch (adu[1]) {
    case ReadExceptionStatus:
    case ReportServerIdentification:
        return 1 + AddressAndCrc;
    case ReadCoils:
    case ReadDiscreteInputs:
    case ReadHoldingRegisters:
    case ReadInputRegisters:
    case WriteSingleCoil:
    case WriteSingleRegister:
    case Diagnostics:
        return 5 + AddressAndCrc; // function and two words
    case MaskWriteSingleRegister:
        return 7 + AddressAndCrc; // function and three words
    case WriteMultipleCoils:
    case WriteMultipleRegisters:
        return counted(6); // address, function, start, quantity, byte count
    case ReadFileRecord:
    case WriteFileRecord:
        return counted(2); // address, function, byte count
    case ReadWriteMultipleRegisters:
        return counted(10); // address, function, four words, byte count
    default:
        return 0;
    }
}

uint32_t RtuRequestSilenceMs(uint32_t baud)
{
    return FrameInterval(TTransmissionMode::tmRTU,
                         TLineTiming{baud, TDataBits::db8, TParityScheme::psNone, TStopBits::sb1, 4});
}

TRtuRequestReader::TRtuRequestReader(uint32_t frameIntervalMs)
    : Interval(frameIntervalMs)
    , Buffer(static_cast<int>(RtuLayout.MaxAduSize))
{
    Frame.reserve(RtuLayout.MaxAduSize);
}

int64_t TRtuRequestReader::NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t TRtuRequestReader::Deadline() const
{
    return Frame.empty() && !Dropping ? INT64_MAX : LastByteMs + Interval;
}

void TRtuRequestReader::Reset()
{
    Frame.clear();
    Dropping = false;
}

std::vector<rRtuRequest> TRtuRequestReader::Take(std::span<const uint8_t> bytes, int64_t nowMs)
{
    std::vector<rRtuRequest> done;
    if (nowMs >= Deadline())
        EndAtSilence(done);
    for (const uint8_t b : bytes)
        Add(b, done);
    if (!bytes.empty())
        LastByteMs = nowMs;
    return done;
}

void TRtuRequestReader::Add(uint8_t byte, std::vector<rRtuRequest>& done)
{
    if (Dropping)
        return;
    Frame.push_back(byte);
    const std::size_t size = RtuRequestSize(Frame);
    if (Frame.size() > RtuLayout.MaxAduSize || size > RtuLayout.MaxAduSize) {
        Frame.clear();
        Dropping = true;
    } else if (size == Frame.size()) {
        Dropping = !Accept(done);
        Frame.clear();
    }
}

void TRtuRequestReader::EndAtSilence(std::vector<rRtuRequest>& done)
{
    if (!Frame.empty())
        Accept(done);
    Reset();
}

bool TRtuRequestReader::Accept(std::vector<rRtuRequest>& done)
{
    const TFrameMode server{TTransmissionMode::tmRTU, TConnectionMode::cmServer};
    if (!DecodeFrame(server, Frame.data(), static_cast<int>(Frame.size()), Buffer))
        return false;
    const uint8_t* adu = Buffer.Data();
    done.push_back({adu[0], std::vector<uint8_t>(adu + 1, adu + Frame.size() - 2)});
    return true;
}
