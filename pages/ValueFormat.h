#pragma once

#include <QLocale>
#include <QString>

// The default number format of a data field's value, in one locale: sign,
// the magnitude with its integer digits grouped by three and a number of
// fraction digits, and with postFix a "K", "M" or "G" for each division by
// 1000 that a magnitude of at least unitDivider takes. The locale gives the
// digits and the separators, never the grouping: QLocale's own grouping
// follows the locale's rules (none in a four-digit Spanish number, groups of
// two in Indian English), which the data page does not use. Halves round
// away from zero.
//
// The locale's digits and separators are read once, when the format is
// made: a data page formats every field at every pass, and asking the
// locale each time (the system's asks the platform) was most of a pass.
class TValueFormat {
public:
    explicit TValueFormat(const QLocale& locale = QLocale());

    // decimals is taken between 0 and 15.
    QString Text(double x, int decimals, bool postFix, int unitDivider) const;

private:
    // Writes the locale's digit for an ASCII digit, returns the end.
    QChar* WriteDigit(QChar* out, char digit) const;

    char32_t zero_;
    QString decimalPoint_;
    QString groupSeparator_;
};
