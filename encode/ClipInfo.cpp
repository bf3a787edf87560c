#include "ClipInfo.h"

#include <QFile>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

std::optional<double> mediaDurationSeconds(const QString &path)
{
    // "file:" keeps a colon in a folder name from being read as a protocol.
    const QByteArray url = "file:" + QFile::encodeName(path);
    AVFormatContext *opened = nullptr;
    if (avformat_open_input(&opened, url.constData(), nullptr, nullptr) < 0)
        return std::nullopt;
    const auto close = [](AVFormatContext *c) { avformat_close_input(&c); };
    const std::unique_ptr<AVFormatContext, decltype(close)> ctx(opened, close);
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0 || ctx->duration == AV_NOPTS_VALUE
        || ctx->duration <= 0)
        return std::nullopt;
    return double(ctx->duration) / AV_TIME_BASE;
}
