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
// An output named *.mp4 gets the same picture size and rates as H.264 (high
// profile, level 3.1 at most) and AAC-LC at 64 kbit/s a channel, with the
// index at the front so that playing can start before the whole file is in.
// Input that is truncated (fewer pictures than its header states) or mostly
// undecodable is refused rather than encoded short.
//
// The calling thread reads the file and encodes the sound; decoding and
// scaling run on a thread per core (motion JPEG, picture by picture) or
// one thread, and video encoding on a thread of its own with a second one
// of the encoder's.
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
