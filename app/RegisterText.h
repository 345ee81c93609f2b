#pragma once

#include <QString>

// A register number or value as the register boxes take it: hexadecimal,
// "$" allowed in front; 0 when it is not a number.
inline int HexValue(QString text)
{
    text = text.trimmed();
    if (text.startsWith('$'))
        text.remove(0, 1);
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 16);
    return ok ? static_cast<int>(value) : 0;
}
