#include "QuantityTable.h"

#include <QStringList>

#include <algorithm>

QString QuantityTable(const TLogValues& values, const TLogSelection& selected, const QLocale& locale)
{
    QStringList captions;
    QStringList texts;
    for (std::size_t i = 0; i < LogParameterCount; ++i) {
        if (!selected[i])
            continue;
        const QString text = LogFile::FormatValue(values[i], LogParameters[i].Decimals, locale);
        captions << LogParameters[i].Caption;
        texts << (text.isEmpty() ? "--" : text);
    }
    qsizetype captionWidth = 0;
    qsizetype valueWidth = 0;
    for (qsizetype k = 0; k < captions.size(); ++k) {
        captionWidth = std::max(captionWidth, captions[k].size());
        valueWidth = std::max(valueWidth, texts[k].size());
    }
    QString table;
    for (qsizetype k = 0; k < captions.size(); ++k)
        table += captions[k].leftJustified(captionWidth + 2) + texts[k].rightJustified(valueWidth) + '\n';
    return table;
}
