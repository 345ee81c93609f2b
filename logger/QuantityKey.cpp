#include "QuantityKey.h"

QString QuantityKey(const QString& caption)
{
    QString key;
    bool gap = false;
    for (const QChar c : caption.toLower()) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (kept && gap && !key.isEmpty())
            key += '_';
        gap = !kept;
        if (kept)
            key += c;
    }
    return key;
}

const std::array<QString, LogParameterCount>& QuantityKeys()
{
    static const std::array<QString, LogParameterCount> keys = [] {
        std::array<QString, LogParameterCount> all;
        for (std::size_t i = 0; i < all.size(); ++i)
            all[i] = QuantityKey(LogParameters[i].Caption);
        return all;
    }();
    return keys;
}
