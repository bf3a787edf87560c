#pragma once

// What the output looks like for a given input: picture size, frame rate and
// sample rate within MPEG-1's limits.

extern "C" {
#include <libavutil/rational.h>
}

struct Size
{
    int width = 0;
    int height = 0;
    friend bool operator==(const Size &, const Size &) = default;
};

inline constexpr Size kMaxPicture{352, 288};

// The largest even size within kMaxPicture with the picture's displayed
// proportions (sampleAspect may be 0/1 for "square"); never larger than the
// picture itself.
[[nodiscard]] Size fitPicture(int width, int height, AVRational sampleAspect);

// A legal MPEG-1 rate unchanged; any other rate becomes 25 or 30, whichever
// lets frames repeat (or drop) in an even pattern.
[[nodiscard]] AVRational mpegFrameRate(AVRational rate);

// 32, 44.1 or 48 kHz, whichever is nearest.
[[nodiscard]] int mpegSampleRate(int rate);

// How many times the decoder should halve the picture itself (MJPEG's
// "lowres"), never below the target size.
[[nodiscard]] int lowresFor(int width, int height, Size target, int maxLowres);
