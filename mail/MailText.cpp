#include "MailText.h"

#include <QByteArray>

namespace mailtext {

namespace {

bool isBreaking(QChar c)
{
    return c.category() == QChar::Other_Control || c == QChar::LineSeparator
           || c == QChar::ParagraphSeparator;
}

} // namespace

std::string utf8(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return {bytes.constData(), static_cast<size_t>(bytes.size())};
}

bool hasControlCharacter(QStringView text)
{
    for (const QChar c : text) {
        if (isBreaking(c))
            return true;
    }
    return false;
}

QString oneLine(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
            continue; // CR LF is one break
        line.append(isBreaking(c) ? QChar(QLatin1Char(' ')) : c);
    }
    return line;
}

} // namespace mailtext
