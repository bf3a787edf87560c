#pragma once

#include <QString>

// What the status line says after a compression: the compressed clip's name,
// length and size, "mirabo.mpg: 26.5 s, 2.3 MB", with a warning when the
// message that carries it would be larger than many mail providers accept.
[[nodiscard]] QString compressedClipSummary(const QString &path);

inline constexpr qint64 kProviderLimitBytes = 20'000'000;

// The size of the message carrying an attachment of `bytes`: base64 in lines
// of 76 characters, plus the headers and the body text.
[[nodiscard]] constexpr qint64 messageBytesFor(qint64 bytes)
{
    return (bytes + 56) / 57 * 78 + 4096;
}
