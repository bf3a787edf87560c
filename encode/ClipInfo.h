#pragma once

#include <QString>
#include <optional>

// The playing time of a media file in seconds, as FFmpeg's demuxers measure
// it; nothing when the file cannot be read or gives no duration.
[[nodiscard]] std::optional<double> mediaDurationSeconds(const QString &path);
