#include "Encoder.h"

#include "Av.h"
#include "AviCheck.h"
#include "JpegDecoder.h"
#include "OutputFile.h"
#include "Plan.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <vector>

using av::check;

namespace {

// The "mpeg" muxer's default pack size.
constexpr int kMpegPackSize = 2048;
constexpr int kMp2BitRatePerChannel = 96000;
constexpr int kAacBitRatePerChannel = 64000;
// H.264 level 3.1's largest rate in the main profile (the high profile's is
// larger): what phones are sure to play.
constexpr int64_t kH264MaxRate = 14'000'000;
// Slices of the MPEG-1 encoder, frame threads of x264. A fixed number, not
// one per core: the count changes the output, which should be the same file
// for the same clip on any machine.
constexpr int kEncoderThreads = 2;
// Decoders side by side for motion JPEG, each picture on its own.
constexpr int kMaxDecodeThreads = 4;
// Pictures waiting for the video encoder, and packets per decoding thread.
// Measured on two cores, the encoder is the slower side; this much room
// lets decoding use whatever time it leaves (8 and 2 took 10 % longer).
constexpr size_t kQueueDepth = 32;
constexpr int kPacketsPerDecoder = 4;
// A timestamp jump larger than this is damage, not a pause to fill.
constexpr int kMaxGapSeconds = 5;

// ---------------------------------------------------------------------------

class Muxer
{
public:
    Muxer(OutputFile &file, Container container)
        : name_(file.path())
        , container_(container)
    {
        // "mpeg" is the MPEG-1 system stream, whatever the file is called.
        const char *format = container == Container::Mp4 ? "mp4" : "mpeg";
        AVFormatContext *ctx = nullptr;
        check(avformat_alloc_output_context2(&ctx, nullptr, format, name_.c_str()), setupError());
        ctx_.reset(ctx);
        ctx_->pb = file.io();
        ctx_->flags |= AVFMT_FLAG_CUSTOM_IO;
        // MP4's index goes to the front at the end, and the muxer reads the
        // file back to move the rest behind it (see OutputFile::openReader).
        ctx_->opaque = &file;
        ctx_->io_open = &Muxer::openForReading;
        ctx_->io_close2 = &Muxer::close;
    }

    [[nodiscard]] bool wantsGlobalHeader() const { return ctx_->oformat->flags & AVFMT_GLOBALHEADER; }

    [[nodiscard]] AVStream *addStream(const AVCodecContext &enc)
    {
        AVStream *st = avformat_new_stream(ctx_.get(), nullptr);
        if (!st)
            throw av::Error("out of memory");
        check(avcodec_parameters_from_context(st->codecpar, &enc), setupError());
        st->time_base = enc.time_base;
        return st;
    }

    void writeHeader()
    {
        AVDictionary *options = nullptr;
        if (container_ == Container::Mp4)
            av_dict_set(&options, "movflags", "+faststart", 0);
        const int ret = avformat_write_header(ctx_.get(), &options);
        av_dict_free(&options);
        check(ret, "cannot write " + name_);
    }

    // Both threads write; the interleaving queue is not thread-safe.
    void write(AVPacket &pkt, const AVStream &st, AVRational from)
    {
        av_packet_rescale_ts(&pkt, from, st.time_base);
        pkt.stream_index = st.index;
        const std::lock_guard lock(mutex_);
        check(av_interleaved_write_frame(ctx_.get(), &pkt), "cannot write " + name_);
    }

    void writeTrailer() { check(av_write_trailer(ctx_.get()), "cannot write " + name_); }

private:
    [[nodiscard]] std::string setupError() const
    {
        return container_ == Container::Mp4 ? "cannot set up the MP4 file" : "cannot set up the MPEG program stream";
    }

    static int openForReading(AVFormatContext *s, AVIOContext **pb, const char *, int flags, AVDictionary **)
    {
        if (flags & AVIO_FLAG_WRITE)
            return AVERROR(EPERM);
        try {
            *pb = static_cast<OutputFile *>(s->opaque)->openReader().release();
            return 0;
        } catch (...) {
            return AVERROR(ENOMEM);
        }
    }

    static int close(AVFormatContext *, AVIOContext *pb)
    {
        av::IoPtr(pb).reset();
        return 0;
    }

    std::string name_;
    Container container_;
    av::OutputPtr ctx_;
    std::mutex mutex_;
};

// Sends a frame (nullptr drains) and hands every packet the encoder has
// ready to sink.
template <typename Sink>
void encode(AVCodecContext &enc, const AVFrame *frame, const char *what, Sink &&sink)
{
    check(avcodec_send_frame(&enc, frame), what);
    for (;;) {
        av::PacketPtr pkt = av::makePacket();
        const int ret = avcodec_receive_packet(&enc, pkt.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return;
        check(ret, what);
        sink(std::move(pkt));
    }
}

// ---------------------------------------------------------------------------

struct VideoPlan
{
    Container container;
    Size size;
    AVRational inRate;
    AVRational outRate;
    AVRational inTimeBase;
    int64_t bitRate;
};

// Brings decoded pictures to the output size in limited-range 4:2:0.
class Scaler
{
public:
    explicit Scaler(Size size)
        : size_(size)
    {
    }

    [[nodiscard]] av::FramePtr scale(const AVFrame &src)
    {
        const ScalerKey key{src.width, src.height, src.format, src.color_range == AVCOL_RANGE_JPEG};
        if (!sws_ || !(key == key_)) {
            sws_ = makeScaler(key);
            key_ = key;
        }
        av::FramePtr dst = av::makeFrame();
        check(sws_scale_frame(sws_.get(), dst.get(), &src), "cannot scale the picture");
        dst->color_range = AVCOL_RANGE_MPEG;
        dst->best_effort_timestamp = src.best_effort_timestamp;
        return dst;
    }

private:
    struct ScalerKey
    {
        int width = 0, height = 0, format = -1;
        bool fullRange = false;
        friend bool operator==(const ScalerKey &, const ScalerKey &) = default;
    };

    av::SwsPtr makeScaler(const ScalerKey &key) const
    {
        const auto format = static_cast<AVPixelFormat>(key.format);
        if (key.width <= 0 || key.height <= 0 || !sws_isSupportedInput(format)) {
            const char *name = av_get_pix_fmt_name(format);
            throw av::Error(std::string("cannot convert pictures of format ") + (name ? name : "unknown"));
        }
        av::SwsPtr sws(sws_alloc_context());
        if (!sws)
            throw av::Error("out of memory");
        SwsContext *c = sws.get();
        av_opt_set_int(c, "srcw", key.width, 0);
        av_opt_set_int(c, "srch", key.height, 0);
        av_opt_set_int(c, "src_format", format, 0);
        // MJPEG decodes to full range; both encoders want limited range.
        av_opt_set_int(c, "src_range", key.fullRange, 0);
        av_opt_set_int(c, "dstw", size_.width, 0);
        av_opt_set_int(c, "dsth", size_.height, 0);
        av_opt_set_int(c, "dst_format", AV_PIX_FMT_YUV420P, 0);
        av_opt_set_int(c, "dst_range", 0, 0);
        av_opt_set_int(c, "sws_flags", SWS_BICUBIC, 0);
        check(sws_init_context(c, nullptr, nullptr), "cannot set up the picture scaler");
        return sws;
    }

    Size size_;
    av::SwsPtr sws_;
    ScalerKey key_;
};

// Repeats or drops pictures (already at the output size) to fill the output
// frame rate's slots, and encodes them: MPEG-1 video, or H.264 for an MP4.
class VideoOut
{
public:
    VideoOut(const VideoPlan &plan, Muxer &mux)
        : plan_(plan)
        , mux_(mux)
    {
        enc_ = plan.container == Container::Mp4 ? openH264(mux) : openMpeg1();
        stream_ = mux.addStream(*enc_);
        // Program streams only: see hold().
        holdBack_ = plan.container == Container::Mpeg1;

        const int64_t perSecond = std::max<int64_t>(1, av_rescale(1, plan.inRate.num, plan.inRate.den));
        maxGap_ = kMaxGapSeconds * perSecond;
    }

    void push(av::FramePtr picture)
    {
        const std::optional<int64_t> index = frameIndex(picture->best_effort_timestamp);
        if (!index)
            return;
        const int64_t from = slot(*index);
        if (last_)
            emitUntil(*last_, from);
        emitUntil(*picture, slot(*index + 1));
        last_ = std::move(picture);
    }

    void finish()
    {
        encode(*enc_, nullptr, kEncodeError, [this](av::PacketPtr pkt) { hold(std::move(pkt)); });
        stuffBeforeLastShown();
        for (av::PacketPtr &pkt : held_)
            mux_.write(*pkt, *stream_, enc_->time_base);
        held_.clear();
    }

private:
    av::CodecPtr makeEncoder(const AVCodec *codec) const
    {
        av::CodecPtr enc = av::makeCodec(codec);
        AVCodecContext &e = *enc;
        e.width = plan_.size.width;
        e.height = plan_.size.height;
        e.pix_fmt = AV_PIX_FMT_YUV420P;
        e.color_range = AVCOL_RANGE_MPEG;
        e.sample_aspect_ratio = {1, 1};
        e.framerate = plan_.outRate;
        e.time_base = av_inv_q(plan_.outRate);
        e.bit_rate = plan_.bitRate;
        e.thread_count = kEncoderThreads;
        return enc;
    }

    av::CodecPtr openMpeg1() const
    {
        const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MPEG1VIDEO);
        if (!codec)
            throw av::Error("this FFmpeg has no MPEG-1 video encoder");
        av::CodecPtr enc = makeEncoder(codec);
        AVCodecContext &e = *enc;
        // The default tolerance lets a short clip overshoot by 15 %.
        e.bit_rate_tolerance = static_cast<int>(plan_.bitRate / 2);
        // Measured at 600 kbit/s against the defaults (12-frame GOP, no B
        // frames): +0.9 dB PSNR for about 15 % more encoding time.
        e.gop_size = static_cast<int>(std::lround(2 * av_q2d(plan_.outRate)));
        e.max_b_frames = 2;
        e.trellis = 1;
        e.thread_type = FF_THREAD_SLICE;
        check(avcodec_open2(&e, codec, nullptr), "cannot set up the MPEG-1 video encoder");
        return enc;
    }

    av::CodecPtr openH264(const Muxer &mux) const
    {
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            throw av::Error("this FFmpeg has no H.264 encoder (libx264)");
        av::CodecPtr enc = makeEncoder(codec);
        AVCodecContext &e = *enc;
        // JPEG pictures are BT.601; say so rather than leave players to guess.
        e.colorspace = AVCOL_SPC_SMPTE170M;
        e.bit_rate = std::min(e.bit_rate, kH264MaxRate);
        // No VBV buffer: with one, x264's frame threads make the output
        // differ from run to run. x264 would then take the level from the
        // picture size alone; 3.1 leaves the rate's peaks the most room of
        // the levels every phone plays.
        e.level = 31;
        if (mux.wantsGlobalHeader())
            e.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary *options = nullptr;
        av_dict_set(&options, "profile", "high", 0);
        // Quality is measured as PSNR here, as for the MPEG-1. x264's
        // adaptive quantization and psychovisual tuning spend bits where
        // PSNR does not see them: 1.5 dB less at the same size on a clip
        // with a webcam's noise.
        av_dict_set(&options, "tune", "psnr", 0);
        const int ret = avcodec_open2(&e, codec, &options);
        av_dict_free(&options);
        check(ret, "cannot set up the H.264 video encoder");
        return enc;
    }

    // The picture's place counted in input frames from the start; nothing for
    // a picture that does not move time forward.
    std::optional<int64_t> frameIndex(int64_t ts)
    {
        int64_t index = lastIndex_ + 1;
        if (ts != AV_NOPTS_VALUE) {
            const int64_t absolute = av_rescale_q_rnd(ts, plan_.inTimeBase, av_inv_q(plan_.inRate),
                                                      AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
            // A video that starts a little after the sound keeps its delay;
            // a far-off first timestamp is taken as the start.
            if (lastIndex_ < 0)
                base_ = absolute >= 0 && absolute <= maxGap_ ? 0 : absolute;
            int64_t relative = 0;
            if (__builtin_sub_overflow(absolute, base_, &relative) || relative > lastIndex_ + maxGap_)
                relative = lastIndex_ + 1;
            else if (relative <= lastIndex_)
                return std::nullopt;
            index = relative;
        }
        lastIndex_ = index;
        return index;
    }

    [[nodiscard]] int64_t slot(int64_t index) const
    {
        return av_rescale_q_rnd(index, av_inv_q(plan_.inRate), av_inv_q(plan_.outRate),
                                AV_ROUND_NEAR_INF);
    }

    void emitUntil(AVFrame &picture, int64_t end)
    {
        for (; nextSlot_ < end; ++nextSlot_) {
            picture.pts = nextSlot_;
            encode(*enc_, &picture, kEncodeError, [this](av::PacketPtr pkt) { hold(std::move(pkt)); });
        }
    }

    // MPEG program streams carry a timestamp only for the first picture that
    // starts in each pack, and players and ffprobe take a clip's length from
    // the last timestamp: tiny final pictures sharing a pack made clips look
    // up to 0.1 s short. So the last few packets wait, and at the end the one
    // before the last-shown picture gets zero stuffing (legal before any MPEG
    // video start code) to a pack's size, which gives the last-shown picture
    // a pack of its own start.
    void hold(av::PacketPtr pkt)
    {
        // Each picture fills one slot; MP4 takes the last one's length from this.
        pkt->duration = 1;
        if (!holdBack_) {
            mux_.write(*pkt, *stream_, enc_->time_base);
            return;
        }
        held_.push_back(std::move(pkt));
        // The last-shown picture is at most max_b_frames from the end.
        if (held_.size() > static_cast<size_t>(enc_->max_b_frames) + 2) {
            mux_.write(*held_.front(), *stream_, enc_->time_base);
            held_.pop_front();
        }
    }

    void stuffBeforeLastShown()
    {
        const auto last = std::max_element(held_.begin(), held_.end(),
                                           [](const av::PacketPtr &a, const av::PacketPtr &b) {
                                               return a->pts < b->pts;
                                           });
        if (last == held_.begin() || last == held_.end())
            return;
        AVPacket &before = **std::prev(last);
        if (before.size < kMpegPackSize) {
            const int grow = kMpegPackSize - before.size;
            check(av_grow_packet(&before, grow), "out of memory");
            std::fill_n(before.data + before.size - grow, grow, uint8_t{0});
        }
    }

    static constexpr const char *kEncodeError = "cannot encode the video";

    VideoPlan plan_;
    Muxer &mux_;
    av::CodecPtr enc_;
    AVStream *stream_ = nullptr;
    bool holdBack_ = false;
    av::FramePtr last_;
    std::deque<av::PacketPtr> held_;
    int64_t maxGap_ = 1;
    int64_t base_ = 0;
    int64_t lastIndex_ = -1;
    int64_t nextSlot_ = 0;
};

// ---------------------------------------------------------------------------

// Resamples decoded sound to mono or stereo at 32, 44.1 or 48 kHz and
// encodes it in the encoder's fixed-size frames: MPEG-1 audio layer II
// (1152 samples of 16 bits) or, for an MP4, AAC-LC (1024 of float).
class AudioOut
{
public:
    AudioOut(const AVCodecContext &dec, Muxer &mux, Container container)
        : mux_(mux)
    {
        checkUsable(dec.sample_rate, dec.ch_layout.nb_channels);
        const bool mp4 = container == Container::Mp4;
        // FFmpeg's own AAC encoder, whatever else this FFmpeg has.
        const AVCodec *codec = mp4 ? avcodec_find_encoder_by_name("aac") : avcodec_find_encoder(AV_CODEC_ID_MP2);
        if (!codec)
            throw av::Error(mp4 ? "this FFmpeg has no AAC encoder" : "this FFmpeg has no MPEG audio layer II encoder");
        enc_ = av::makeCodec(codec);
        AVCodecContext &e = *enc_;
        channels_ = dec.ch_layout.nb_channels >= 2 ? 2 : 1;
        av_channel_layout_default(&e.ch_layout, channels_);
        e.sample_fmt = mp4 ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
        e.sample_rate = mpegSampleRate(dec.sample_rate);
        e.time_base = {1, e.sample_rate};
        e.bit_rate = int64_t{mp4 ? kAacBitRatePerChannel : kMp2BitRatePerChannel} * channels_;
        if (mp4)
            e.profile = FF_PROFILE_AAC_LOW;
        if (mux.wantsGlobalHeader())
            e.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        check(avcodec_open2(&e, codec, nullptr), "cannot set up the sound encoder");
        if (e.frame_size <= 0)
            throw av::Error("cannot set up the sound encoder");
        stream_ = mux.addStream(e);
        fifo_.reset(av_audio_fifo_alloc(e.sample_fmt, channels_, 4 * e.frame_size));
        if (!fifo_)
            throw av::Error("out of memory");
    }

    void push(const AVFrame &decoded)
    {
        if (!swr_)
            makeResampler(decoded);
        else if (decoded.format != inFormat_ || decoded.sample_rate != inRate_
                 || decoded.ch_layout.nb_channels != inChannels_)
            throw av::Error("the sound changes its format within the clip");
        resample(&decoded);
        encodeFrames(false);
    }

    void finish()
    {
        if (swr_)
            resample(nullptr);
        encodeFrames(true);
        encode(*enc_, nullptr, kEncodeError, [this](av::PacketPtr pkt) { write(*pkt); });
    }

private:
    static void checkUsable(int rate, int channels)
    {
        if (rate < 1000 || rate > 384000 || channels < 1 || channels > 64)
            throw av::Error("cannot use sound with " + std::to_string(rate) + " Hz and "
                            + std::to_string(channels) + " channels");
    }

    void makeResampler(const AVFrame &in)
    {
        checkUsable(in.sample_rate, in.ch_layout.nb_channels);
        AVChannelLayout inLayout{};
        if (in.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&inLayout, in.ch_layout.nb_channels);
        else
            check(av_channel_layout_copy(&inLayout, &in.ch_layout), "out of memory");
        SwrContext *swr = nullptr;
        const int ret = swr_alloc_set_opts2(&swr, &enc_->ch_layout, enc_->sample_fmt,
                                            enc_->sample_rate, &inLayout,
                                            static_cast<AVSampleFormat>(in.format),
                                            in.sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        swr_.reset(swr);
        check(ret, "cannot set up the sound resampler");
        check(swr_init(swr), "cannot set up the sound resampler");
        inFormat_ = in.format;
        inRate_ = in.sample_rate;
        inChannels_ = in.ch_layout.nb_channels;
    }

    // nullptr drains what the resampler still holds.
    void resample(const AVFrame *in)
    {
        const int inSamples = in ? in->nb_samples : 0;
        const int room = check(swr_get_out_samples(swr_.get(), inSamples), "cannot resample the sound");
        if (room == 0)
            return;
        const int sampleSize = av_get_bytes_per_sample(enc_->sample_fmt);
        const bool planar = av_sample_fmt_is_planar(enc_->sample_fmt);
        buffer_.resize(static_cast<size_t>(room) * channels_ * sampleSize);
        std::array<uint8_t *, 2> out{buffer_.data(), buffer_.data() + (planar ? room * sampleSize : 0)};
        const int got = check(swr_convert(swr_.get(), out.data(), room,
                                          in ? const_cast<const uint8_t **>(in->extended_data) : nullptr,
                                          inSamples),
                              "cannot resample the sound");
        if (got > 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void **>(out.data()), got) < got)
            throw av::Error("out of memory");
    }

    // At the end the last, partial frame is padded with silence.
    void encodeFrames(bool final)
    {
        const int frameSize = enc_->frame_size;
        while (av_audio_fifo_size(fifo_.get()) >= frameSize || (final && av_audio_fifo_size(fifo_.get()) > 0)) {
            av::FramePtr frame = av::makeFrame();
            frame->nb_samples = frameSize;
            frame->format = enc_->sample_fmt;
            frame->sample_rate = enc_->sample_rate;
            check(av_channel_layout_copy(&frame->ch_layout, &enc_->ch_layout), "out of memory");
            check(av_frame_get_buffer(frame.get(), 0), "out of memory");
            const int got = check(av_audio_fifo_read(fifo_.get(), reinterpret_cast<void **>(frame->data),
                                                     frameSize),
                                  "cannot encode the sound");
            if (got < frameSize)
                av_samples_set_silence(frame->data, got, frameSize - got, channels_, enc_->sample_fmt);
            frame->pts = samplesSent_;
            samplesSent_ += frameSize;
            encode(*enc_, frame.get(), kEncodeError, [this](av::PacketPtr pkt) { write(*pkt); });
        }
    }

    void write(AVPacket &pkt) { mux_.write(pkt, *stream_, enc_->time_base); }

    static constexpr const char *kEncodeError = "cannot encode the sound";

    Muxer &mux_;
    av::CodecPtr enc_;
    AVStream *stream_ = nullptr;
    int channels_ = 1;
    av::SwrPtr swr_;
    int inFormat_ = -1;
    int inRate_ = 0;
    int inChannels_ = 0;
    av::FifoPtr fifo_;
    std::vector<uint8_t> buffer_;
    int64_t samplesSent_ = 0;
};

// ---------------------------------------------------------------------------

class FrameQueue
{
public:
    // False once the queue has been aborted.
    [[nodiscard]] bool push(av::FramePtr frame)
    {
        std::unique_lock lock(mutex_);
        notFull_.wait(lock, [this] { return aborted_ || frames_.size() < kQueueDepth; });
        if (aborted_)
            return false;
        frames_.push_back(std::move(frame));
        notEmpty_.notify_one();
        return true;
    }

    // Null when the queue is closed and empty, or aborted.
    [[nodiscard]] av::FramePtr pop()
    {
        std::unique_lock lock(mutex_);
        notEmpty_.wait(lock, [this] { return aborted_ || closed_ || !frames_.empty(); });
        if (aborted_ || frames_.empty())
            return nullptr;
        av::FramePtr frame = std::move(frames_.front());
        frames_.pop_front();
        notFull_.notify_one();
        return frame;
    }

    void close()
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        notEmpty_.notify_all();
    }

    void abort()
    {
        const std::lock_guard lock(mutex_);
        aborted_ = true;
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

    [[nodiscard]] bool aborted() const
    {
        const std::lock_guard lock(mutex_);
        return aborted_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable notEmpty_;
    std::condition_variable notFull_;
    std::deque<av::FramePtr> frames_;
    bool closed_ = false;
    bool aborted_ = false;
};

// Runs VideoOut beside the decoding thread. Destroying it without finish()
// abandons the video (the error path).
class VideoThread
{
public:
    explicit VideoThread(VideoOut &video)
        : thread_([this, &video] { run(video); })
    {
    }

    ~VideoThread()
    {
        queue_.abort();
        if (thread_.joinable())
            thread_.join();
    }

    VideoThread(const VideoThread &) = delete;
    VideoThread &operator=(const VideoThread &) = delete;

    // Throws the video side's error if it has given up.
    void push(av::FramePtr frame)
    {
        if (!queue_.push(std::move(frame))) {
            finish();
            throw av::Error("the video encoder stopped");
        }
    }

    void finish()
    {
        queue_.close();
        if (thread_.joinable())
            thread_.join();
        if (error_)
            std::rethrow_exception(error_);
    }

private:
    void run(VideoOut &video)
    {
        try {
            while (av::FramePtr frame = queue_.pop())
                video.push(std::move(frame));
            if (!queue_.aborted())
                video.finish();
        } catch (...) {
            error_ = std::current_exception();
            queue_.abort();
        }
    }

    FrameQueue queue_;
    std::exception_ptr error_;
    std::thread thread_; // last: it starts running in the constructor
};

// ---------------------------------------------------------------------------

struct DecodeStats
{
    int64_t packets = 0;
    int64_t failed = 0;
    int64_t frames = 0;

    // Damage in a few pictures is tolerated (the one before is held); more
    // is a broken file.
    [[nodiscard]] bool damaged() const { return failed > 2 && failed * 10 > packets; }
};

// Decodes one packet (nullptr drains the decoder) and hands each picture or
// block of sound to sink. Damaged data is counted, not thrown.
template <typename Sink>
void decode(AVCodecContext &dec, const AVPacket *pkt, DecodeStats &stats, Sink &&sink)
{
    if (pkt)
        ++stats.packets;
    int ret = avcodec_send_packet(&dec, pkt);
    if (ret == AVERROR(ENOMEM))
        check(ret, "cannot decode");
    if (ret < 0 && ret != AVERROR_EOF) {
        ++stats.failed;
        if (pkt)
            return;
    }
    for (;;) {
        av::FramePtr frame = av::makeFrame();
        ret = avcodec_receive_frame(&dec, frame.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return;
        if (ret == AVERROR(ENOMEM))
            check(ret, "cannot decode");
        if (ret < 0) {
            ++stats.failed;
            return;
        }
        ++stats.frames;
        sink(std::move(frame));
    }
}

av::CodecPtr openDecoder(const AVStream &st, const std::string &what, int lowres)
{
    const AVCodec *codec = avcodec_find_decoder(st.codecpar->codec_id);
    if (!codec)
        throw av::Error("cannot decode " + what + " (" + avcodec_get_name(st.codecpar->codec_id) + ")");
    av::CodecPtr dec = av::makeCodec(codec);
    check(avcodec_parameters_to_context(dec.get(), st.codecpar), "cannot decode " + what);
    dec->pkt_timebase = st.time_base;
    dec->lowres = lowres;
    dec->max_pixels = kMaxInputPixels;
    dec->thread_count = 0;
    check(avcodec_open2(dec.get(), codec, nullptr), "cannot decode " + what);
    return dec;
}

// Decodes the video and scales it to the output size. Motion JPEG goes
// through libjpeg at a reduced size, and to FFmpeg only what libjpeg leaves.
class PictureDecoder
{
public:
    using Sink = std::function<void(av::FramePtr)>;

    PictureDecoder(const AVStream &st, const std::string &what, Size target)
        : scaler_(target)
    {
        const AVCodecParameters &par = *st.codecpar;
        const AVCodec *codec = avcodec_find_decoder(par.codec_id);
        const int lowres = lowresFor(par.width, par.height, target, codec ? codec->max_lowres : 0);
        dec_ = openDecoder(st, what, lowres);
        if (par.codec_id == AV_CODEC_ID_MJPEG)
            jpeg_ = std::make_unique<JpegDecoder>(target);
    }

    // nullptr drains the decoder.
    void decode(const AVPacket *pkt, DecodeStats &stats, const Sink &sink)
    {
        if (pkt && jpeg_) {
            av::FramePtr picture;
            switch (jpeg_->decode(*pkt, picture)) {
            case JpegDecoder::Result::Picture:
                ++stats.packets;
                ++stats.frames;
                sink(scaler_.scale(*picture));
                return;
            case JpegDecoder::Result::Damaged:
                ++stats.packets;
                ++stats.failed;
                return;
            case JpegDecoder::Result::Unsupported:
                break;
            }
        }
        ::decode(*dec_, pkt, stats, [&](av::FramePtr f) { sink(scaler_.scale(*f)); });
    }

private:
    av::CodecPtr dec_;
    std::unique_ptr<JpegDecoder> jpeg_;
    Scaler scaler_;
};

// Runs decoders on threads of their own, several side by side for a
// picture-by-picture codec (motion JPEG, which FFmpeg decodes on one thread
// only), and hands the scaled pictures on in the file's order.
class ParallelDecoder
{
public:
    using Sink = PictureDecoder::Sink;

    // decoders: one per thread, alike.
    ParallelDecoder(std::vector<std::unique_ptr<PictureDecoder>> decoders, Sink sink)
        : sink_(std::move(sink))
        , limit_(static_cast<int64_t>(kPacketsPerDecoder * decoders.size()))
    {
        workers_.reserve(decoders.size());
        for (auto &dec : decoders)
            workers_.push_back(std::make_unique<Worker>(std::move(dec)));
        for (auto &w : workers_)
            w->thread = std::thread([this, worker = w.get()] { run(*worker); });
    }

    ~ParallelDecoder() { stop(); }

    ParallelDecoder(const ParallelDecoder &) = delete;
    ParallelDecoder &operator=(const ParallelDecoder &) = delete;

    void submit(const AVPacket &pkt)
    {
        av::PacketPtr copy = av::makePacket();
        check(av_packet_ref(copy.get(), &pkt), "out of memory");
        // Pictures go on in order, and no more than limit_ wait at a time.
        while (submitted_ - forwarded_ >= limit_)
            forwardNext();
        const std::lock_guard lock(mutex_);
        jobs_.push_back(Job{submitted_++, std::move(copy)});
        work_.notify_one();
    }

    // Forwards the rest and drains every decoder; the sum of their counts.
    DecodeStats finish()
    {
        while (forwarded_ < submitted_)
            forwardNext();
        stop();
        DecodeStats total;
        for (auto &w : workers_) {
            w->dec->decode(nullptr, w->stats, sink_);
            total.packets += w->stats.packets;
            total.failed += w->stats.failed;
            total.frames += w->stats.frames;
        }
        return total;
    }

private:
    struct Job
    {
        int64_t seq;
        av::PacketPtr pkt;
    };
    struct Worker
    {
        explicit Worker(std::unique_ptr<PictureDecoder> d) : dec(std::move(d)) {}
        std::unique_ptr<PictureDecoder> dec;
        DecodeStats stats;
        std::thread thread;
    };

    void run(Worker &w)
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            std::vector<av::FramePtr> frames;
            std::exception_ptr error;
            try {
                w.dec->decode(job.pkt.get(), w.stats, [&frames](av::FramePtr f) { frames.push_back(std::move(f)); });
            } catch (...) {
                error = std::current_exception();
            }
            const std::lock_guard lock(mutex_);
            done_[job.seq] = Done{std::move(frames), error};
            ready_.notify_all();
        }
    }

    void forwardNext()
    {
        Done done;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return done_.count(forwarded_) > 0; });
            auto it = done_.find(forwarded_);
            done = std::move(it->second);
            done_.erase(it);
        }
        ++forwarded_;
        if (done.error)
            std::rethrow_exception(done.error);
        for (av::FramePtr &f : done.frames)
            sink_(std::move(f));
    }

    void stop()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            work_.notify_all();
        }
        for (auto &w : workers_)
            if (w->thread.joinable())
                w->thread.join();
    }

    struct Done
    {
        std::vector<av::FramePtr> frames;
        std::exception_ptr error;
    };

    Sink sink_;
    int64_t limit_;
    int64_t submitted_ = 0;
    int64_t forwarded_ = 0;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    std::map<int64_t, Done> done_;
    bool stopping_ = false;
};

av::InputPtr openInput(const std::string &name)
{
    AVDictionary *options = nullptr;
    // Never let a file's content make FFmpeg open anything but local files.
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext *ctx = nullptr;
    const int ret = avformat_open_input(&ctx, ("file:" + name).c_str(), nullptr, &options);
    av_dict_free(&options);
    check(ret, "cannot open " + name);
    av::InputPtr input(ctx);

    // The probing decoders get the same size limit as ours.
    std::vector<AVDictionary *> streamOptions(ctx->nb_streams, nullptr);
    for (AVDictionary *&o : streamOptions)
        av_dict_set_int(&o, "max_pixels", kMaxInputPixels, 0);
    const int found = avformat_find_stream_info(ctx, streamOptions.data());
    for (AVDictionary *&o : streamOptions)
        av_dict_free(&o);
    check(found, "cannot read " + name);
    return input;
}

AVRational inputFrameRate(const AVStream &st, const std::string &name)
{
    for (AVRational r : {st.r_frame_rate, st.avg_frame_rate}) {
        if (r.num > 0 && r.den > 0 && av_q2d(r) >= 1.0 && av_q2d(r) <= 240.0) {
            av_reduce(&r.num, &r.den, r.num, r.den, INT_MAX);
            return r;
        }
    }
    throw av::Error(name + " has no usable frame rate");
}

} // namespace

// ---------------------------------------------------------------------------

Encoder::Encoder(EncoderOptions options)
    : options_(std::move(options))
{
}

void Encoder::run()
{
    const std::string &name = options_.input;
    // A link at the output's name is replaced, not written through (see
    // OutputFile), so only the name itself can be the input.
    struct stat in {}, out {};
    if (stat(name.c_str(), &in) == 0 && lstat(options_.output.c_str(), &out) == 0
        && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        throw av::Error("the output " + options_.output + " is the input");
    const av::InputPtr input = openInput(name);
    AVFormatContext &fmt = *input;
    if (std::strcmp(fmt.iformat->name, "avi") == 0)
        checkAviIsWhole(name);

    const int videoIndex = av_find_best_stream(&fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoIndex < 0 || (fmt.streams[videoIndex]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        throw av::Error(name + " has no video");
    AVStream &vst = *fmt.streams[videoIndex];
    const AVStream *ast = nullptr;
    if (options_.withSound) {
        const int audioIndex = av_find_best_stream(&fmt, AVMEDIA_TYPE_AUDIO, -1, videoIndex, nullptr, 0);
        if (audioIndex >= 0)
            ast = fmt.streams[audioIndex];
    }

    const AVCodecParameters &vpar = *vst.codecpar;
    if (vpar.width <= 0 || vpar.height <= 0)
        throw av::Error(name + " has no picture size");
    VideoPlan plan{};
    plan.container = containerFor(options_.output);
    plan.size = fitPicture(vpar.width, vpar.height, av_guess_sample_aspect_ratio(&fmt, &vst, nullptr));
    plan.inRate = inputFrameRate(vst, name);
    plan.outRate = mpegFrameRate(plan.inRate);
    plan.inTimeBase = vst.time_base;
    plan.bitRate = int64_t{options_.videoKbps} * 1000;

    // Pictures decoded on their own can be decoded side by side; other
    // codecs get one decoder, with FFmpeg's own threads.
    const int decodeThreads = vpar.codec_id == AV_CODEC_ID_MJPEG ? std::min(av_cpu_count(), kMaxDecodeThreads) : 1;
    std::vector<std::unique_ptr<PictureDecoder>> videoDecoders;
    for (int i = 0; i < decodeThreads; ++i)
        videoDecoders.push_back(std::make_unique<PictureDecoder>(vst, "the video of " + name, plan.size));
    const av::CodecPtr adec = ast ? openDecoder(*ast, "the sound of " + name, 0) : nullptr;

    OutputFile file(options_.output);
    Muxer mux(file, plan.container);
    VideoOut video(plan, mux);
    std::optional<AudioOut> audio;
    if (adec)
        audio.emplace(*adec, mux, plan.container);
    mux.writeHeader();

    DecodeStats videoStats;
    DecodeStats audioStats;
    int64_t videoChunks = 0;
    bool lastVideoCut = false;
    {
        VideoThread videoThread(video);
        const auto toAudio = [&](av::FramePtr frame) { audio->push(*frame); };
        ParallelDecoder videoDecoder(std::move(videoDecoders),
                                     [&](av::FramePtr frame) { videoThread.push(std::move(frame)); });

        av::PacketPtr pkt = av::makePacket();
        for (;;) {
            const int ret = av_read_frame(&fmt, pkt.get());
            if (ret == AVERROR_EOF)
                break;
            check(ret, "cannot read " + name);
            if (pkt->stream_index == vst.index) {
                ++videoChunks;
                lastVideoCut = pkt->flags & AV_PKT_FLAG_CORRUPT;
            }
            // An empty packet (a repeated frame in AVI) would drain the decoder for good.
            if (pkt->size > 0 && pkt->stream_index == vst.index)
                videoDecoder.submit(*pkt);
            else if (pkt->size > 0 && ast && pkt->stream_index == ast->index)
                decode(*adec, pkt.get(), audioStats, toAudio);
            av_packet_unref(pkt.get());
        }
        videoStats = videoDecoder.finish();
        if (audio) {
            decode(*adec, nullptr, audioStats, toAudio);
            audio->finish();
        }
        videoThread.finish();
    }

    // AVI headers state the frame count; without its index at the end, a
    // cut-off recording would otherwise pass for a shorter complete one.
    if (vst.nb_frames > 0 && videoChunks < vst.nb_frames)
        throw av::Error(name + " is truncated: " + std::to_string(videoChunks) + " of "
                        + std::to_string(vst.nb_frames) + " pictures are there");
    if (lastVideoCut)
        throw av::Error(name + " is truncated: its last picture is cut off");
    if (videoStats.frames == 0)
        throw av::Error("no picture could be decoded from " + name);
    if (videoStats.damaged())
        throw av::Error(name + " is damaged: " + std::to_string(videoStats.failed) + " of "
                        + std::to_string(videoStats.packets) + " pictures could not be decoded");
    if (audioStats.damaged())
        throw av::Error("the sound of " + name + " is damaged");

    mux.writeTrailer();
    file.commit();
}
