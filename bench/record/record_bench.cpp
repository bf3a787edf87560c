// Records 10 s at 640 x 480, 25 fps, from the test camera and microphone with
// the live picture on, after 10 s of live picture alone as the reference.
// Prints one line: frames written against expected, frames dropped, CPU
// seconds of each phase and the peak memory.
#include "GstCapture.h"
#include "TestDevices.h"
#include "VideoView.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peakMegabytes()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

int framesInFile(const QString &path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                        "stream=nb_read_frames", "-of", "default=nw=1:nk=1", path});
    p.waitForFinished(120000);
    return p.readAllStandardOutput().trimmed().toInt();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    constexpr int kSeconds = 10;
    constexpr int kRate = 25;
    gstsupport::ensureInitialised();
    if (!testcamera::registerTestDevices(1, 1)) {
        std::fprintf(stderr, "record-bench: the test devices could not be registered\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString file = dir.filePath("video.avi");

    GstCapture capture;
    VideoView view;
    view.resize(257, 198);
    view.show();
    capture.setView(&view);

    // Reference: the live picture alone.
    const quint64 shownBefore = view.framesShown();
    const double live0 = cpuSeconds();
    QTimer::singleShot(kSeconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double liveCpu = cpuSeconds() - live0;
    const quint64 liveShown = view.framesShown() - shownBefore;

    QString last;
    QObject::connect(&capture, &CaptureComponent::statusText, [&](int32_t, const QString &t) {
        last = t;
    });
    capture.setCaptureFileName(file);
    capture.setCaptureAudio(true);
    capture.setYieldDuringCapture(true);
    capture.setPreviewDuringCapture(true);
    capture.setCaptureFrameRate(kRate);
    capture.setBufferSeconds(5);
    capture.setTimeLimitEnabled(true);
    capture.setTimeLimitSeconds(kSeconds);
    QObject::connect(&capture, &CaptureComponent::yieldRequested,
                     [] { QCoreApplication::processEvents(); });
    const quint64 recShownBefore = view.framesShown();
    const double rec0 = cpuSeconds();
    const bool ok = capture.capture();
    const double recCpu = cpuSeconds() - rec0;
    const quint64 recShown = view.framesShown() - recShownBefore;

    const QRegularExpression figures("– (\\d+) frames, (\\d+) dropped");
    const auto match = figures.match(last);
    const int dropped = match.hasMatch() ? match.captured(2).toInt() : -1;
    const int written = framesInFile(file);
    std::printf("record-bench: %s; frames written %d of %d expected, %d dropped; CPU %.2f s "
                "recording (%.0f%% of one core) vs %.2f s live picture alone; live frames "
                "shown %llu while recording, %llu alone; peak memory %ld MB\n",
                ok ? "recorded" : "FAILED", written, kSeconds * kRate, dropped, recCpu,
                100.0 * recCpu / kSeconds, liveCpu, static_cast<unsigned long long>(recShown),
                static_cast<unsigned long long>(liveShown), peakMegabytes());
    return ok && written > 0 ? 0 : 1;
}
