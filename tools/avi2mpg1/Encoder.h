#pragma once

#include <string>

struct EncoderOptions
{
    std::string input;
    std::string output;
    bool withSound = false;
    int videoKbps = 600;
};

// Turns a clip that FFmpeg can decode into an MPEG-1 program stream: MPEG-1
// video that fits 352 × 288 at a legal MPEG-1 frame rate (see Plan.h) and,
// with sound, MPEG-1 audio layer II at 32, 44.1 or 48 kHz, whichever is
// nearest the recorded rate, 96 kbit/s a channel, mono or stereo as recorded.
// Input that is truncated (fewer pictures than its header states) or mostly
// undecodable is refused rather than encoded short.
//
// Decoding runs on the calling thread and scaling plus video encoding on a
// second one, so the two overlap; the scaler and the video encoder also use
// FFmpeg's own slice threads.
class Encoder
{
public:
    explicit Encoder(EncoderOptions options);

    // Throws av::Error with a one-line reason; the output then does not exist
    // (an older file of that name is left as it was).
    void run();

private:
    EncoderOptions options_;
};
