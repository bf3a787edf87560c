#pragma once

#include <QString>

// The files the window works with, all in the program directory: the
// recording, the compressed clip, the composed message, and the encoder.
namespace workfiles {

inline const QString Clip = QStringLiteral("video.avi");
inline const QString Compressed = QStringLiteral("mirabo.mpg");
inline const QString Message = QStringLiteral("message.msg");
inline const QString Encoder = QStringLiteral("avi2mpg1");

} // namespace workfiles
