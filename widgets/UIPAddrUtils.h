#pragma once

// String checks for IPv4 addresses written as dotted text ("192.168.1.10").
// A malformed address raises EIPAddrError; a string that breaks the shape the
// checks rely on (too long, not three dots) raises EIPAddrAssertion.

#include "KelvaneError.h"

#include <QChar>
#include <QString>

class EIPAddrError : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

class EIPAddrAssertion : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

// The n-th field (counted from 1) of s split at c; empty when s runs out first.
QString ExtractField(const QString& s, int n, QChar c);
int CountChar(const QString& s, QChar c);
// s without any of the characters in set.
QString RemoveChars(const QString& s, const QString& set);
// True when every character is an ASCII digit, and for the empty string.
bool IsDigits(const QString& s);

// The four octets of a dotted address, each left-padded with "0" to three
// digits, as one 12-character string.
QString NormalizeIPString(const QString& dotted);
// Validates the normalized form t; dotted is only quoted in the messages.
void CheckTriplets(const QString& t, const QString& dotted);
void ValidateIPString(const QString& dotted);
// The value of octet n (1..4) of a valid dotted address; 0 for any other n.
int GetIPOctet(const QString& dotted, int n);
