#include "JpegPreview.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace {

// Larger than any webcam picture; a header claiming more is damage.
constexpr qint64 kMaxPixels = 4096LL * 4096;

// errors comes first: libjpeg's error handler finds the Decoder from it.
struct Decoder
{
    jpeg_error_mgr errors{};
    std::jmp_buf failed{};
    jpeg_decompress_struct info{};

    Decoder()
    {
        info.err = jpeg_std_error(&errors);
        errors.error_exit = [](j_common_ptr c) {
            std::longjmp(reinterpret_cast<Decoder *>(c->err)->failed, 1);
        };
        // Webcams often send pictures with small faults; they still show.
        errors.output_message = [](j_common_ptr) {};
        jpeg_create_decompress(&info);
    }
    ~Decoder() { jpeg_destroy_decompress(&info); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
};

// libjpeg leaves by longjmp, so the two steps below keep no objects with
// destructors on their frames.
bool readHeader(Decoder &d, const uchar *data, size_t size, QSize atLeast)
{
    if (setjmp(d.failed))
        return false;
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d.info, TRUE);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    d.info.out_color_space = JCS_EXT_BGRA;
#else
    d.info.out_color_space = JCS_EXT_ARGB;
#endif
    d.info.scale_denom = 8;
    // The other eighths take slower paths than these.
    for (const unsigned eighths : {1U, 2U, 4U, 8U}) {
        d.info.scale_num = eighths;
        jpeg_calc_output_dimensions(&d.info);
        if (int(d.info.output_width) >= atLeast.width()
            && int(d.info.output_height) >= atLeast.height())
            break;
    }
    return qint64(d.info.output_width) * d.info.output_height <= kMaxPixels;
}

bool decodeInto(Decoder &d, uchar *bits, qsizetype stride)
{
    if (setjmp(d.failed))
        return false;
    jpeg_start_decompress(&d.info);
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW row = bits + stride * d.info.output_scanline;
        jpeg_read_scanlines(&d.info, &row, 1);
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

} // namespace

QImage decodeJpegPreview(const uchar *data, size_t size, QSize atLeast)
{
    if (!data || size == 0)
        return QImage();
    Decoder d;
    if (!readHeader(d, data, size, atLeast))
        return QImage();
    QImage image(int(d.info.output_width), int(d.info.output_height), QImage::Format_RGB32);
    if (image.isNull() || !decodeInto(d, image.bits(), image.bytesPerLine()))
        return QImage();
    return image;
}
