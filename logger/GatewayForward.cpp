#include "GatewayForward.h"

#include "LoggerMessages.h"
#include "ModbusFunctions.h"

#include <QStringList>

namespace {

// The meter was asked and said nothing that answers the request.
bool NoAnswer(int32_t result)
{
    return result == MeterResult::NoReply || result == MeterResult::InvalidFrame ||
           result == MeterResult::UnexpectedReply || result == MeterResult::UnmatchedReply;
}

uint16_t WordAt(const QByteArray& pdu, qsizetype at)
{
    return uint16_t((uint8_t(pdu[at]) << 8) | uint8_t(pdu[at + 1]));
}

// "register 142 = 8192" or "registers 142-143 = 8192, 1", as the
// request gives them (protocol addresses, from 0).
QString WriteText(const QByteArray& pdu)
{
    const uint16_t first = WordAt(pdu, 1);
    if (uint8_t(pdu[0]) == ModbusFunctions::WriteSingleRegister)
        return QString("register %1 = %2").arg(first).arg(WordAt(pdu, 3));
    const uint16_t count = WordAt(pdu, 3);
    if (count == 1 && pdu.size() >= 8)
        return QString("register %1 = %2").arg(first).arg(WordAt(pdu, 6));
    QStringList values;
    for (qsizetype i = 0; i < count && 6 + 2 * i + 1 < pdu.size(); ++i)
        values << QString::number(WordAt(pdu, 6 + 2 * i));
    return QString("registers %1-%2 = %3").arg(first).arg(first + count - 1).arg(values.join(", "));
}

} // namespace

void ForwardRequest(TKelvane& link, uint8_t address, const TGatewayRequest& request, TGatewayCounters& counters,
                    const bool& abort)
{
    const auto function = uint8_t(request.Pdu[0]);
    // A serial port that went away is opened again by the same name, as the
    // logger's own pass does.
    if (!link.Active())
        link.SetActive(true);
    int32_t result = MeterResult::PortLost;
    QByteArray reply;
    if (link.Active()) {
        try {
            TKelvane::TForwarded forwarded = link.Forward(address, request.Pdu, abort);
            result = forwarded.Exchange.Result;
            reply = std::move(forwarded.Reply);
        } catch (const std::exception&) {
            result = MeterResult::PortLost; // the port closed under the request
        }
    }
    if (result == MeterResult::Pending)
        return;
    if (IsWriteFunction(function))
        LoggerMessage(QString("gateway: %1 wrote unit %2, %3: %4")
                          .arg(request.ClientText)
                          .arg(request.Unit)
                          .arg(WriteText(request.Pdu), result == 0 && !reply.isEmpty() ? "done" : TKelvane::ErrorCode(result)));
    if (!reply.isEmpty() && (result == MeterResult::Success || result > 0)) {
        ++counters.Answered;
        request.Answer(reply);
    } else if (NoAnswer(result) || result >= 0) {
        ++counters.NoAnswer;
        request.Answer(GatewayException::Reply(function, GatewayException::TargetNoAnswer));
    } else {
        ++counters.LinkDown;
        request.Answer(GatewayException::Reply(function, GatewayException::PathUnavailable));
    }
}
