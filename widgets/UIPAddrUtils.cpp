#include "UIPAddrUtils.h"

#include <QStringList>

#include <algorithm>

namespace {

constexpr int MaxDottedLength = 15; // "255.255.255.255"
constexpr int OctetCount = 4;
constexpr int OctetDigits = 3;

// Messages quote the caller's text, which may itself hold "%1"; a message
// with two values is therefore filled by one multi-argument arg() call, so
// that no placeholder inside the quoted text is replaced.
[[noreturn]] void Fail(const QString& message)
{
    throw EIPAddrError(message.toStdString());
}

[[noreturn]] void AssertionFailed(const QString& message)
{
    throw EIPAddrAssertion(message.toStdString());
}

QString NormalizedOctet(const QString& octet, const QString& dotted)
{
    if (octet.isEmpty() || octet.size() > OctetDigits)
        Fail(QString("IPAddress must include 4 pieces of length 1..3. IPAddressString[%1]").arg(dotted));
    if (octet.size() > 1 && octet.startsWith('0'))
        Fail(QString("Leading zero not allowed. IPAddressString[%1]").arg(dotted));
    return octet.rightJustified(OctetDigits, '0');
}

} // namespace

QString ExtractField(const QString& s, int n, QChar c)
{
    if (n < 1)
        return {};
    const QStringList fields = s.split(c);
    return n <= fields.size() ? fields.at(n - 1) : QString();
}

int CountChar(const QString& s, QChar c)
{
    return static_cast<int>(s.count(c));
}

QString RemoveChars(const QString& s, const QString& set)
{
    QString result;
    for (QChar ch : s)
        if (!set.contains(ch))
            result += ch;
    return result;
}

bool IsDigits(const QString& s)
{
    return std::all_of(s.begin(), s.end(), [](QChar ch) { return ch >= '0' && ch <= '9'; });
}

QString NormalizeIPString(const QString& dotted)
{
    if (dotted.size() > MaxDottedLength)
        AssertionFailed(QString("Illegal length for IPString![%1(%2)]").arg(dotted, QString::number(dotted.size())));
    if (CountChar(dotted, '.') != OctetCount - 1)
        AssertionFailed(QString("Must include exactly 3 dots! [%1]").arg(dotted));
    QString result;
    for (int n = 1; n <= OctetCount; ++n)
        result += NormalizedOctet(ExtractField(dotted, n, '.'), dotted);
    return RemoveChars(result, ".");
}

void CheckTriplets(const QString& t, const QString& dotted)
{
    if (t.size() != OctetCount * OctetDigits)
        AssertionFailed(QString("Illegal length for IPString![%1 (Length:%2) ]").arg(dotted, QString::number(t.size())));
    for (int i = 0; i < OctetCount; ++i) {
        const QString triplet = t.mid(i * OctetDigits, OctetDigits);
        if (!IsDigits(triplet))
            Fail(QString("%1. IPAddressString[%2]").arg("IP Address contains illegal symbols", dotted));
        if (triplet.toInt() > 255)
            Fail(QString("Triplets must be of range 0..255  IPAddressString[%1]").arg(dotted));
    }
}

void ValidateIPString(const QString& dotted)
{
    CheckTriplets(NormalizeIPString(dotted), dotted);
}

int GetIPOctet(const QString& dotted, int n)
{
    ValidateIPString(dotted);
    if (n < 1 || n > OctetCount)
        return 0;
    return ExtractField(dotted, n, '.').toInt();
}
