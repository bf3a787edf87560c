#pragma once

#include "Av.h"
#include "Plan.h"

#include <memory>

// Decodes motion-JPEG pictures with libjpeg at the smallest size that still
// covers the output (see jpegEighthsFor): libjpeg scales in its inverse DCT,
// and reads the planes as stored, without upsampling or colour conversion.
// Pictures come out as full-range planar YUV or grey.
class JpegDecoder
{
public:
    enum class Result { Picture, Damaged, Unsupported };

    explicit JpegDecoder(Size target);
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // Unsupported: a layout left to FFmpeg's decoder (progressive, RGB or
    // CMYK pictures, unusual sampling). Warnings about damaged data do not
    // fail a picture; libjpeg fills what it cannot read with grey.
    [[nodiscard]] Result decode(const AVPacket &pkt, av::FramePtr &picture);

private:
    struct State;
    std::unique_ptr<State> d_;
    Size target_;
};
