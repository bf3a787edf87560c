// avi2mpg1: compresses a recorded clip into an MPEG-1 file for e-mail, or an
// MP4 for phones and web mail when the output's name ends in .mp4.
//
// Exit status 0 when the output is complete; otherwise one line on standard
// error, status 1 (2 for a bad command line), and no output file.

#include "Av.h"
#include "Encoder.h"
#include "OutputFile.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

namespace {

constexpr int kMinKbps = 64;
constexpr int kMaxKbps = 20000;

void printUsage(FILE *to)
{
    std::fprintf(to,
                 "usage: avi2mpg1 [-e] [-s kbit/s] [-v] input.avi output.mpg|output.mp4\n"
                 "  -e   include the sound (MPEG-1 audio layer II; AAC in an MP4)\n"
                 "  -s   video bit rate in kbit/s, %d to %d (default 600)\n"
                 "  -v   show FFmpeg's own messages\n",
                 kMinKbps, kMaxKbps);
}

int usageError(const char *what, std::string_view detail = {})
{
    std::fprintf(stderr, "avi2mpg1: %s%.*s\n", what, static_cast<int>(detail.size()), detail.data());
    printUsage(stderr);
    return 2;
}

std::optional<int> parseKbps(std::string_view text)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < kMinKbps || value > kMaxKbps)
        return std::nullopt;
    return value;
}

} // namespace

int main(int argc, char **argv)
{
    EncoderOptions options;
    bool verbose = false;
    int positional = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "-h" || arg == "--help") {
                printUsage(stdout);
                return 0;
            } else if (arg == "-e") {
                options.withSound = true;
            } else if (arg == "-v") {
                verbose = true;
            } else if (arg == "-s") {
                if (++i == argc)
                    return usageError("-s needs a bit rate");
                const std::optional<int> kbps = parseKbps(argv[i]);
                if (!kbps)
                    return usageError("bad bit rate for -s: ", argv[i]);
                options.videoKbps = *kbps;
            } else {
                return usageError("unknown option ", arg);
            }
        } else if (positional == 0) {
            options.input = arg;
            ++positional;
        } else if (positional == 1) {
            options.output = arg;
            ++positional;
        } else {
            return usageError("too many file names");
        }
    }
    if (positional < 2)
        return usageError(positional == 0 ? "no input and output file given" : "no output file given");

    av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET);
    installSignalHandlers();
    try {
        Encoder(options).run();
    } catch (const av::Error &e) {
        std::fprintf(stderr, "avi2mpg1: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "avi2mpg1: out of memory\n");
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "avi2mpg1: %s\n", e.what());
        return 1;
    }
    return 0;
}
