#include "JpegDecoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

// errors comes first: libjpeg's error handler finds the State from it.
struct JpegDecoder::State
{
    jpeg_error_mgr errors{};
    std::jmp_buf failed{};
    jpeg_decompress_struct info{};

    State()
    {
        info.err = jpeg_std_error(&errors);
        errors.error_exit = [](j_common_ptr c) {
            std::longjmp(reinterpret_cast<State *>(c->err)->failed, 1);
        };
        errors.output_message = [](j_common_ptr) {};
        jpeg_create_decompress(&info);
    }
    ~State() { jpeg_destroy_decompress(&info); }
    State(const State &) = delete;
    State &operator=(const State &) = delete;
};

namespace {

// One call of jpeg_read_raw_data hands each component at most its sampling
// factor times a scaled block's height in rows.
constexpr int kMaxRows = MAX_SAMP_FACTOR * 2 * DCTSIZE;

struct Layout
{
    AVPixelFormat format = AV_PIX_FMT_NONE;
    // Enough for every row and column libjpeg writes, which runs to whole
    // blocks beyond the picture's edge.
    int width = 0;
    int height = 0;
};

int paddedWidth(const jpeg_component_info &c)
{
    return static_cast<int>(c.width_in_blocks) * c.DCT_scaled_size;
}

int paddedHeight(const jpeg_decompress_struct &info, const jpeg_component_info &c)
{
    return static_cast<int>(info.total_iMCU_rows) * c.v_samp_factor * c.DCT_scaled_size;
}

// Chroma is stored at 1/1 or 1/2 of the luma's size in each direction;
// libjpeg may scale it up in its inverse DCT, so this is known only now.
Layout layoutOf(const jpeg_decompress_struct &info)
{
    const jpeg_component_info *c = info.comp_info;
    if (info.jpeg_color_space == JCS_GRAYSCALE && info.num_components == 1)
        return {AV_PIX_FMT_GRAY8, paddedWidth(c[0]), paddedHeight(info, c[0])};
    if (info.jpeg_color_space != JCS_YCbCr || info.num_components != 3
        || c[1].h_samp_factor != c[2].h_samp_factor || c[1].v_samp_factor != c[2].v_samp_factor
        || c[1].DCT_scaled_size != c[2].DCT_scaled_size)
        return {};
    const int lumaX = c[0].h_samp_factor * c[0].DCT_scaled_size;
    const int lumaY = c[0].v_samp_factor * c[0].DCT_scaled_size;
    const int chromaX = c[1].h_samp_factor * c[1].DCT_scaled_size;
    const int chromaY = c[1].v_samp_factor * c[1].DCT_scaled_size;
    const bool halfX = lumaX == 2 * chromaX;
    const bool halfY = lumaY == 2 * chromaY;
    if ((!halfX && lumaX != chromaX) || (!halfY && lumaY != chromaY))
        return {};
    const AVPixelFormat format = halfX ? (halfY ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P)
                                       : (halfY ? AV_PIX_FMT_YUV440P : AV_PIX_FMT_YUV444P);
    return {format, std::max(paddedWidth(c[0]), paddedWidth(c[1]) << halfX),
            std::max(paddedHeight(info, c[0]), paddedHeight(info, c[1]) << halfY)};
}

enum class Start { Started, Damaged, Unsupported };

// libjpeg leaves by longjmp, so the two steps below keep no objects with
// destructors on their frames.
Start start(jpeg_decompress_struct &info, std::jmp_buf &failed, const AVPacket &pkt,
            Size target, Layout &layout)
{
    if (setjmp(failed))
        return Start::Damaged;
    jpeg_mem_src(&info, pkt.data, static_cast<unsigned long>(pkt.size));
    jpeg_read_header(&info, TRUE);
    if (int64_t{info.image_width} * info.image_height > kMaxInputPixels)
        return Start::Damaged;
    // Progressive pictures would be held whole as coefficients; no camera
    // sends them.
    if (info.progressive_mode)
        return Start::Unsupported;
    info.scale_num = static_cast<unsigned>(
        jpegEighthsFor(static_cast<int>(info.image_width), static_cast<int>(info.image_height), target));
    info.scale_denom = 8;
    info.raw_data_out = TRUE;
    jpeg_start_decompress(&info);
    layout = layoutOf(info);
    return layout.format == AV_PIX_FMT_NONE ? Start::Unsupported : Start::Started;
}

bool readPlanes(jpeg_decompress_struct &info, std::jmp_buf &failed, AVFrame &frame)
{
    if (setjmp(failed))
        return false;
    JSAMPROW rows[3][kMaxRows];
    JSAMPARRAY planes[3] = {rows[0], rows[1], rows[2]};
    const int lines = info.max_v_samp_factor * info.min_DCT_scaled_size;
    for (int iMcuRow = 0; info.output_scanline < info.output_height; ++iMcuRow) {
        for (int ci = 0; ci < info.num_components; ++ci) {
            const int n = info.comp_info[ci].v_samp_factor * info.comp_info[ci].DCT_scaled_size;
            for (int r = 0; r < n; ++r)
                rows[ci][r] = frame.data[ci] + static_cast<ptrdiff_t>(frame.linesize[ci]) * (iMcuRow * n + r);
        }
        if (jpeg_read_raw_data(&info, planes, static_cast<JDIMENSION>(lines)) == 0)
            return false;
    }
    return true;
}

} // namespace

JpegDecoder::JpegDecoder(Size target)
    : d_(std::make_unique<State>())
    , target_(target)
{
}

JpegDecoder::~JpegDecoder() = default;

JpegDecoder::Result JpegDecoder::decode(const AVPacket &pkt, av::FramePtr &picture)
{
    // Whatever the last picture left behind, including a throw between the steps.
    jpeg_abort_decompress(&d_->info);
    Layout layout;
    const Start started = start(d_->info, d_->failed, pkt, target_, layout);
    if (started != Start::Started)
        return started == Start::Damaged ? Result::Damaged : Result::Unsupported;

    av::FramePtr frame = av::makeFrame();
    frame->format = layout.format;
    frame->width = layout.width;
    frame->height = layout.height;
    av::check(av_frame_get_buffer(frame.get(), 0), "out of memory");
    if (!readPlanes(d_->info, d_->failed, *frame))
        return Result::Damaged;
    frame->width = static_cast<int>(d_->info.output_width);
    frame->height = static_cast<int>(d_->info.output_height);
    frame->color_range = AVCOL_RANGE_JPEG;
    frame->best_effort_timestamp = pkt.pts != AV_NOPTS_VALUE ? pkt.pts : pkt.dts;
    jpeg_abort_decompress(&d_->info);
    picture = std::move(frame);
    return Result::Picture;
}
