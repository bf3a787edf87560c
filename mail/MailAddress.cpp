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

QString whyNotSendable(const QString &address)
{
    if (!isPlainMailAddress(address))
        return QStringLiteral("is not one plain e-mail address such as name@example.com (no spaces, "
                              "line breaks or other characters)");
    const qsizetype at = address.indexOf(QLatin1Char('@'));
    if (!isAscii(QStringView(address).left(at)))
        return QStringLiteral("has letters outside plain A to Z before the \"@\": such addresses "
                              "cannot be sent to or from yet");
    if (address.contains(QLatin1String("=?")))
        return QStringLiteral("holds \"=?\", which mail programs would show as another address "
                              "than the one it is sent to");
    const QString ascii = withAsciiDomain(address);
    if (ascii.isEmpty())
        return QStringLiteral("has a domain after the \"@\" that is no valid name");
    if (at > 64 || ascii.size() - at - 1 > 255 || ascii.size() > 254)
        return QStringLiteral("is longer than e-mail allows: at most 64 characters before the \"@\", "
                              "255 after it and 254 in all");
    return {};
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
