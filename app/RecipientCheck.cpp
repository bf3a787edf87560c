#include "RecipientCheck.h"

bool isSinglePlainAddress(const QString &text)
{
    const qsizetype at = text.indexOf(QLatin1Char('@'));
    if (at <= 0 || at == text.size() - 1 || text.indexOf(QLatin1Char('@'), at + 1) >= 0)
        return false;
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return false;
        if (QStringLiteral(",;<>()[]\"\\:").contains(c))
            return false;
    }
    return true;
}
