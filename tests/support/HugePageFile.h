#pragma once

// A page file Float.ini of many fields, about 54 bytes a field, for the
// scale of page building: in columns of 200 rows, field i shows register 133
// (which holds 12345 on every meter) plus i, and the first field shows the
// last one's value less its number, that is 12345 once the last field is
// built, and no value before.

#include <QByteArray>

namespace testsupport {

inline QByteArray HugePageFile(int fields)
{
    constexpr int Rows = 200;
    QByteArray file;
    file.reserve(fields * 56);
    for (int i = 0; i < fields; ++i) {
        const QByteArray formula = i == 0 ? "Float" + QByteArray::number(fields - 1) + '-' + QByteArray::number(fields - 1)
                                          : "U0085+" + QByteArray::number(i);
        file += "[Field " + QByteArray::number(i) + "]\nTop=" + QByteArray::number(8 + 24 * (i % Rows))
                + "\nLeft=" + QByteArray::number(8 + 170 * (i / Rows)) + "\nFormula=" + formula + "\n\n";
    }
    return file;
}

} // namespace testsupport
