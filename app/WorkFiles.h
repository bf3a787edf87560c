#pragma once

#include <QString>

// The files the window works with: the recording, the compressed clip and
// the composed message, kept in the working folder; and the encoder, which
// lies in the program directory.
namespace workfiles {

inline const QString Clip = QStringLiteral("video.avi");
inline const QString Compressed = QStringLiteral("mirabo.mpg");
inline const QString Message = QStringLiteral("message.msg");
inline const QString Encoder = QStringLiteral("avi2mpg1");

// The program directory when this user can write it; otherwise, as for a
// program installed under /usr, $XDG_STATE_HOME/Mirabo (~/.local/state/Mirabo),
// made private to the user if it has to be created.
[[nodiscard]] QString workingFolder(const QString &programDir);

} // namespace workfiles
