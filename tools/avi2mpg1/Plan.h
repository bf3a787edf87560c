#pragma once

// What the output looks like for a given input: container, picture size,
// frame rate and sample rate within MPEG-1's limits (the MP4 keeps the same).

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>
#include <string_view>

struct Size
{
    int width = 0;
    int height = 0;
    friend bool operator==(const Size &, const Size &) = default;
};

inline constexpr Size kMaxPicture{352, 288};

// Far above any webcam; keeps a damaged header from making a decoder
// allocate gigabytes.
inline constexpr int64_t kMaxInputPixels = 3840 * 2160;

// MP4 (H.264 and AAC) for a name ending in .mp4, in any case; otherwise an
// MPEG-1 program stream, whatever the name.
enum class Container { Mpeg1, Mp4 };
[[nodiscard]] Container containerFor(std::string_view outputName);

// The largest even size within kMaxPicture with the picture's displayed
// proportions (sampleAspect may be 0/1 for "square"); never larger than the
// picture itself.
[[nodiscard]] Size fitPicture(int width, int height, AVRational sampleAspect);

// A legal MPEG-1 rate unchanged; any other rate becomes 25 or 30, whichever
// lets frames repeat (or drop) in an even pattern.
[[nodiscard]] AVRational mpegFrameRate(AVRational rate);

// 32, 44.1 or 48 kHz, whichever is nearest.
[[nodiscard]] int mpegSampleRate(int rate);

// How many times FFmpeg's decoder should halve the picture itself (MJPEG's
// "lowres"), never below the target size.
[[nodiscard]] int lowresFor(int width, int height, Size target, int maxLowres);

// The eighths of its size libjpeg should decode a picture at: 1 or 2 where
// that still covers the target, else 8.
[[nodiscard]] int jpegEighthsFor(int width, int height, Size target);
