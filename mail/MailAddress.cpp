#include "MailAddress.h"

#include "MailText.h"

#include <QUrl>

#include <algorithm>

namespace {

bool isAscii(QStringView text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

} // namespace

bool isPlainMailAddress(QStringView address)
{
    const qsizetype at = address.indexOf(QLatin1Char('@'));
    if (at <= 0 || at == address.size() - 1 || address.indexOf(QLatin1Char('@'), at + 1) >= 0)
        return false;
    if (mailtext::hasControlCharacter(address))
        return false;
    static const QString forbidden = QStringLiteral("<>()[]\",;:\\");
    for (const QChar c : address) {
        if (c.isSpace() || c.category() == QChar::Other_Format || forbidden.contains(c))
            return false;
    }
    return true;
}

bool hasAsciiLocalPart(QStringView address)
{
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    return isAscii(at < 0 ? address : address.left(at));
}

QString asciiDomain(const QString &domain)
{
    return isAscii(domain) ? domain : QString::fromLatin1(QUrl::toAce(domain));
}

QString withAsciiDomain(const QString &address)
{
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    const QString domain = address.mid(at + 1);
    if (at < 0 || isAscii(domain))
        return address;
    const QString ace = asciiDomain(domain);
    return ace.isEmpty() ? QString() : address.left(at + 1) + ace;
}
