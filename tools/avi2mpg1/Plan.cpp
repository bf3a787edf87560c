#include "Plan.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace {

bool nearlyEqual(double a, double b)
{
    // 29.97 and 30 differ by 0.1 %: stay well inside that.
    return std::abs(a / b - 1.0) < 1e-4;
}

bool nearlyWhole(double x)
{
    return x >= 1.0 && nearlyEqual(x, std::round(x));
}

int evenWithin(double v, int max)
{
    return std::clamp(2 * static_cast<int>(std::lround(v / 2)), 2, max);
}

} // namespace

Container containerFor(std::string_view outputName)
{
    constexpr std::string_view mp4 = ".mp4";
    if (outputName.size() < mp4.size())
        return Container::Mpeg1;
    const std::string_view end = outputName.substr(outputName.size() - mp4.size());
    return std::equal(end.begin(), end.end(), mp4.begin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })
               ? Container::Mp4
               : Container::Mpeg1;
}

Size fitPicture(int width, int height, AVRational sampleAspect)
{
    double displayWidth = width;
    const double sar = sampleAspect.den > 0 ? av_q2d(sampleAspect) : 0.0;
    // Anything outside this is a broken header rather than a real pixel shape.
    if (sar >= 0.25 && sar <= 4.0)
        displayWidth *= sar;
    const double scale = std::min({1.0, kMaxPicture.width / displayWidth,
                                   kMaxPicture.height / static_cast<double>(height)});
    return {evenWithin(displayWidth * scale, kMaxPicture.width),
            evenWithin(height * scale, kMaxPicture.height)};
}

AVRational mpegFrameRate(AVRational rate)
{
    static constexpr std::array<AVRational, 8> legal{
        {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001}, {60, 1}}};
    const double r = av_q2d(rate);
    for (AVRational l : legal) {
        if (nearlyEqual(r, av_q2d(l)))
            return l;
    }
    for (int candidate : {25, 30}) {
        if (nearlyWhole(candidate / r) || nearlyWhole(r / candidate))
            return {candidate, 1};
    }
    return {r < 25 ? 25 : 30, 1};
}

int mpegSampleRate(int rate)
{
    static constexpr std::array<int, 3> legal{32000, 44100, 48000};
    return *std::min_element(legal.begin(), legal.end(), [rate](int a, int b) {
        return std::abs(a - rate) < std::abs(b - rate);
    });
}

int lowresFor(int width, int height, Size target, int maxLowres)
{
    int k = 0;
    while (k < maxLowres && (width >> (k + 1)) >= target.width
           && (height >> (k + 1)) >= target.height)
        ++k;
    // Measured with FFmpeg 5.1 here: MJPEG's reduced IDCT has no SIMD, so
    // halving decodes no faster than full size plus scaling; quartering does.
    return k >= 2 ? k : 0;
}

int jpegEighthsFor(int width, int height, Size target)
{
    // Measured with libjpeg-turbo 2.1 here. A reduced decode filters unlike
    // the scaler, which costs PSNR, and pays only where it saves much: a
    // quarter of 1920x1080 loses 1.3 dB for a third less time, half of
    // 1280x720 0.4 dB for little. The eighths other than 1, 2, 4 and 8 have
    // no SIMD code: 5/8 of 640x480 takes 2.0 s a minute against 1.3 s whole,
    // and loses 0.6 dB.
    for (const int eighths : {1, 2}) {
        if ((width * eighths + 7) / 8 >= target.width && (height * eighths + 7) / 8 >= target.height)
            return eighths;
    }
    return 8;
}
