#include "MeterScan.h"

#include "KelvaneCOM.h"
#include "RegisterMap.h"

#include <exception>

namespace {

constexpr int RegFixed12345 = RegisterMap::Fixed12345;
constexpr int Fixed12345 = RegisterMap::Fixed12345Value;
constexpr int RegConfigWord = RegisterMap::ConfigWord;
constexpr int RegSerialNumber = RegisterMap::SerialNumber;
// The logged quantity 31, the software version, as a float in two registers.
constexpr int SoftwareVersionEntry = 31;
constexpr int RegSoftwareVersion = TKelvane::LoggedQuantityFirst + 2 * SoftwareVersionEntry;

// Exception codes of a gateway that found nothing behind the unit address:
// nobody is there.
using MeterException::GatewayPathUnavailable;
using MeterException::GatewayTargetFailed;

// A failure of the link itself rather than of one address: asking further
// addresses would only fail the same way.
bool IsLinkFailure(int32_t result)
{
    return result == MeterResult::PortLost
           || (result >= static_cast<int32_t>(0x800405E8) && result <= static_cast<int32_t>(0x800405EC));
}

// Something answered, though not with the value of a Kelvane meter.
bool IsForeignAnswer(int32_t result)
{
    if (result == GatewayPathUnavailable || result == GatewayTargetFailed)
        return false;
    return result > 0 || result == MeterResult::InvalidFrame || result == MeterResult::UnexpectedReply;
}

struct TLinkFailure {
    QString Text;
};

} // namespace

std::optional<double> MeterSoftwareVersion(const TKelvane& link)
{
    return link.LoggedQuantity(SoftwareVersionEntry);
}

QString SoftwareVersionText(double version)
{
    return QString::number(version, 'f', 2);
}

TMeterScan::TMeterScan(TKelvane& link, const bool& abort)
    : link_(link), abort_(abort), savedTimeout_(link.RXTimeout())
{
    link_.SetRXTimeout(ReplyTimeoutMs);
}

TMeterScan::~TMeterScan()
{
    link_.SetRXTimeout(savedTimeout_);
}

TScanEnd TMeterScan::Run(int first, int last, const std::function<bool(int address)>& next,
                         const std::function<void(const TScanFinding&)>& found)
{
    TScanEnd end;
    try {
        for (int address = first; address <= last; ++address) {
            if (abort_ || !next(address)) {
                end.Kind = TScanEnd::TKind::Cancelled;
                return end;
            }
            end.LastAddress = address;
            if (std::optional<TScanFinding> finding = Probe(address))
                found(*finding);
        }
    } catch (const TLinkFailure& failure) {
        end.Kind = TScanEnd::TKind::Failed;
        end.Error = failure.Text;
    } catch (const std::exception& e) {
        end.Kind = TScanEnd::TKind::Failed;
        end.Error = QString::fromStdString(e.what());
    }
    return end;
}

std::optional<TScanFinding> TMeterScan::Probe(int address)
{
    TScanFinding finding;
    finding.Address = address;
    int32_t fixed = 0;
    const int32_t result = Read(address, RegFixed12345, RegFixed12345, [&] { fixed = link_.GetRegister(RegFixed12345); });
    if (result == 0 && fixed == Fixed12345) {
        finding.Kelvane = true;
        ReadDetails(finding);
        return finding;
    }
    if (result == 0) {
        finding.Answer = QString("register 133 reads %1").arg(fixed);
        return finding;
    }
    if (IsForeignAnswer(result)) {
        finding.Answer = TKelvane::ErrorCode(result);
        return finding;
    }
    return std::nullopt;
}

void TMeterScan::ReadDetails(TScanFinding& finding)
{
    const int address = finding.Address;
    uint8_t wordOrder = 0;
    Read(address, RegConfigWord, RegSerialNumber, [&] {
        wordOrder = link_.WordOrder();
        finding.SerialNumber = link_.GetRegister(RegSerialNumber);
    });
    Read(address, RegSoftwareVersion, RegSoftwareVersion + 1, [&] {
        finding.SoftwareVersion = link_.GetRegisterFloat(RegSoftwareVersion, RegSoftwareVersion + 1, wordOrder);
    });
    if (link_.TCP() || abort_)
        return;
    // The identification report: an ID byte, a status byte, then the text.
    const QByteArray report = link_.Modbus17(static_cast<uint8_t>(address), abort_);
    finding.Model = QString::fromLatin1(report.mid(2)).trimmed();
}

int32_t TMeterScan::Read(int address, int first, int last, const std::function<void()>& take)
{
    // The image belongs to the meter at the device address: what another
    // address answered is taken while it is there and then put back, also
    // when the read raises.
    struct TRestore {
        TKelvane& link;
        TKelvane::TImageCopy copy;
        ~TRestore() { link.RestoreImage(copy); }
    } restore{link_, link_.CopyImage(first, last)};
    const int32_t result = link_.ReadRegisters(static_cast<uint8_t>(address), 3, first, last, abort_);
    if (IsLinkFailure(result))
        throw TLinkFailure{TKelvane::ErrorCode(result)};
    if (result == 0)
        take();
    return result;
}
