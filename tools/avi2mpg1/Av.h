#pragma once

// Owning handles for the FFmpeg objects the encoder uses, and the error type
// that carries FFmpeg's reason into the one-line message the program prints.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <stdexcept>
#include <string>

namespace av {

class Error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

[[nodiscard]] inline std::string errorText(int err)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// Returns ret when it is not an error, so calls can be wrapped in place.
inline int check(int ret, const std::string &what)
{
    if (ret < 0)
        throw Error(what + ": " + errorText(ret));
    return ret;
}

template <auto Fn>
struct Deleter
{
    template <typename T>
    void operator()(T *p) const { Fn(p); }
};

// Input contexts must be closed, not merely freed, to release their file.
inline void closeInput(AVFormatContext *p) { avformat_close_input(&p); }
inline void freeCodec(AVCodecContext *p) { avcodec_free_context(&p); }
inline void freeFrame(AVFrame *p) { av_frame_free(&p); }
inline void freePacket(AVPacket *p) { av_packet_free(&p); }
inline void freeSwr(SwrContext *p) { swr_free(&p); }
// A custom I/O context owns its buffer only by convention: free it too.
inline void freeIo(AVIOContext *p)
{
    if (p)
        av_freep(&p->buffer);
    avio_context_free(&p);
}

using InputPtr = std::unique_ptr<AVFormatContext, Deleter<closeInput>>;
// Output contexts here always use our own AVIOContext, so freeing is enough.
using OutputPtr = std::unique_ptr<AVFormatContext, Deleter<avformat_free_context>>;
using CodecPtr = std::unique_ptr<AVCodecContext, Deleter<freeCodec>>;
using FramePtr = std::unique_ptr<AVFrame, Deleter<freeFrame>>;
using PacketPtr = std::unique_ptr<AVPacket, Deleter<freePacket>>;
using SwsPtr = std::unique_ptr<SwsContext, Deleter<sws_freeContext>>;
using SwrPtr = std::unique_ptr<SwrContext, Deleter<freeSwr>>;
using FifoPtr = std::unique_ptr<AVAudioFifo, Deleter<av_audio_fifo_free>>;
using IoPtr = std::unique_ptr<AVIOContext, Deleter<freeIo>>;

[[nodiscard]] inline FramePtr makeFrame()
{
    FramePtr f(av_frame_alloc());
    if (!f)
        throw Error("out of memory");
    return f;
}

[[nodiscard]] inline PacketPtr makePacket()
{
    PacketPtr p(av_packet_alloc());
    if (!p)
        throw Error("out of memory");
    return p;
}

[[nodiscard]] inline CodecPtr makeCodec(const AVCodec *codec)
{
    CodecPtr c(avcodec_alloc_context3(codec));
    if (!c)
        throw Error("out of memory");
    return c;
}

} // namespace av
