#include "ClipSummary.h"

#include "ClipInfo.h"

#include <QFileInfo>
#include <QLocale>

QString compressedClipSummary(const QString &path)
{
    const QFileInfo file(path);
    const QLocale locale;
    QString summary = file.fileName() + QStringLiteral(": ");
    if (const auto seconds = mediaDurationSeconds(path))
        summary += locale.toString(*seconds, 'f', 1) + QStringLiteral(" s, ");
    summary += locale.formattedDataSize(file.size(), 1, QLocale::DataSizeSIFormat);
    if (messageBytesFor(file.size()) > kProviderLimitBytes)
        summary += QStringLiteral("; over 20 MB as e-mail, may be refused");
    return summary;
}
