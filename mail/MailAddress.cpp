#include "MailAddress.h"

#include "VmimeSupport.h"

#include <QString>

bool isPlainMailAddress(QStringView address)
{
    const qsizetype at = address.indexOf(QLatin1Char('@'));
    if (at <= 0 || at == address.size() - 1 || address.indexOf(QLatin1Char('@'), at + 1) >= 0)
        return false;
    if (vmimesupport::hasControlCharacter(address))
        return false;
    static const QString forbidden = QStringLiteral("<>()[]\",;:\\");
    for (const QChar c : address) {
        if (c.isSpace() || c.category() == QChar::Other_Format || forbidden.contains(c))
            return false;
    }
    return true;
}
