#pragma once

#include "LogFile.h"

#include <QLocale>
#include <QString>

// The selected quantities, one a line: the caption, then the value with the
// log's decimals and the locale's decimal separator, "--" for a value that
// was not read. Values line up at their right end.
QString QuantityTable(const TLogValues& values, const TLogSelection& selected, const QLocale& locale);
