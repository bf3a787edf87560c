#include "RecentRecipients.h"

#include "MailAddress.h"

QStringList recentrecipients::parse(const QString &stored)
{
    QStringList kept;
    for (const QString &address : stored.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (kept.size() == kKept)
            break;
        if (isPlainMailAddress(address) && !kept.contains(address, Qt::CaseInsensitive))
            kept << address;
    }
    return kept;
}

QString recentrecipients::remember(const QString &stored, const QString &address)
{
    if (!isPlainMailAddress(address))
        return parse(stored).join(QLatin1Char(' '));
    return parse(address + QLatin1Char(' ') + stored).join(QLatin1Char(' '));
}
