// Recording benchmark, in one of two setups:
//
//   record_bench          10 s at 640 x 480, 25 fps, from the test camera and
//                         microphone with the live picture on, after 10 s of
//                         live picture alone as the reference.
//   record_bench webcam   the typical test webcam at 1280 x 720, 30 fps,
//                         motion-JPEG: 10 s recordings that store the camera's
//                         pictures, alternating with 10 s recordings that
//                         decode and encode them again (the reference).
//
// Prints one line: frames written against expected, frames dropped, the CPU
// of each phase and the peak memory. The test webcam encodes its JPEG
// pictures on its own thread, work that a real webcam does in its hardware;
// the webcam's CPU figures leave that thread out and name it apart.
#include "GstCapture.h"
#include "TestDevices.h"
#include "VideoView.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kSeconds = 10;
constexpr int kRate = 25;

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of each of this process's threads, by thread id, with its
// name (GStreamer names a streaming thread "<element>:<pad>").
struct ThreadCpu
{
    QByteArray name;
    double seconds = 0;
};
QHash<QString, ThreadCpu> threadCpu()
{
    const double tick = double(sysconf(_SC_CLK_TCK));
    QHash<QString, ThreadCpu> threads;
    const QDir tasks("/proc/self/task");
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + "/comm"));
        QFile stat(tasks.filePath(tid + "/stat"));
        if (!comm.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
            continue;
        // utime and stime are the 14th and 15th fields, after "(comm)".
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 12)
            threads.insert(tid, {comm.readAll().trimmed(),
                                 (f[11].toDouble() + f[12].toDouble()) / tick});
    }
    return threads;
}

// What the threads of that name at the end spent since the start. Pooled
// threads keep a finished task's name and take new tasks, so a name alone
// does not say which thread did the work all along.
double threadCpuSince(const QHash<QString, ThreadCpu> &start, const QByteArray &name)
{
    double sum = 0;
    const QHash<QString, ThreadCpu> now = threadCpu();
    for (auto it = now.begin(); it != now.end(); ++it) {
        if (it->name == name)
            sum += it->seconds - start.value(it.key()).seconds;
    }
    return sum;
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

struct Phase
{
    bool ok = false;
    int written = 0;
    int dropped = -1;
    double cpu = 0;         // the whole process
    double cameraCpu = 0;   // the test webcam's own thread
    [[nodiscard]] double share() const { return (cpu - cameraCpu) / kSeconds; }
};

// One recording of kSeconds as the window makes it, the live picture on.
Phase record(GstCapture &capture, const QString &file, const QByteArray &cameraThread)
{
    QString last;
    QObject guard;
    QObject::connect(&capture, &CaptureComponent::statusText, &guard,
                     [&](int32_t, const QString &t) { last = t; });
    QFile::remove(file);
    capture.setCaptureFileName(file);
    capture.setCaptureAudio(true);
    capture.setYieldDuringCapture(true);
    capture.setPreviewDuringCapture(true);
    capture.setCaptureFrameRate(kRate);
    capture.setBufferSeconds(5);
    capture.setTimeLimitEnabled(true);
    capture.setTimeLimitSeconds(kSeconds);

    Phase phase;
    const double cpu0 = cpuSeconds();
    const QHash<QString, ThreadCpu> threads0 = threadCpu();
    QEventLoop wait;
    QObject::connect(&capture, &CaptureComponent::captureEnded, &wait,
                     [&](bool started) { wait.exit(started ? 0 : 1); });
    capture.startCapture();
    phase.ok = wait.exec() == 0;
    phase.cpu = cpuSeconds() - cpu0;
    phase.cameraCpu = cameraThread.isEmpty() ? 0 : threadCpuSince(threads0, cameraThread);

    const auto match = QRegularExpression("^Recorded .* – (\\d+) frames, (\\d+) dropped").match(last);
    phase.dropped = match.hasMatch() ? match.captured(2).toInt() : -1;
    phase.written = framesInFile(file);
    return phase;
}

void settle(QApplication &app, int ms)
{
    QTimer::singleShot(ms, &app, &QCoreApplication::quit);
    app.exec();
}

int testCamera(QApplication &app, const QString &file)
{
    if (!testcamera::registerTestDevices(1, 1)) {
        std::fprintf(stderr, "record-bench: the test devices could not be registered\n");
        return 1;
    }
    GstCapture capture;
    VideoView view;
    view.resize(257, 198);
    view.show();
    capture.setView(&view);

    // Reference: the live picture alone.
    const quint64 shownBefore = view.framesShown();
    const double live0 = cpuSeconds();
    settle(app, kSeconds * 1000);
    const double liveCpu = cpuSeconds() - live0;
    const quint64 liveShown = view.framesShown() - shownBefore;

    const quint64 recShownBefore = view.framesShown();
    const Phase rec = record(capture, file, {});
    const quint64 recShown = view.framesShown() - recShownBefore;

    std::printf("record-bench: %s; frames written %d of %d expected, %d dropped; CPU %.2f s "
                "recording (%.0f%% of one core) vs %.2f s live picture alone; live frames "
                "shown %llu while recording, %llu alone; peak memory %ld MB\n",
                rec.ok ? "recorded" : "FAILED", rec.written, kSeconds * kRate, rec.dropped, rec.cpu,
                100.0 * rec.cpu / kSeconds, liveCpu, static_cast<unsigned long long>(recShown),
                static_cast<unsigned long long>(liveShown), peakMegabytes());
    return rec.ok && rec.written > 0 ? 0 : 1;
}

int webcam(QApplication &app, const QString &file, int rounds)
{
    if (!testcamera::registerTestWebcam(MIRABO_TEST_DEVICE_TYPICAL_WEBCAM, 1)) {
        std::fprintf(stderr, "record-bench: the test webcam could not be registered\n");
        return 1;
    }
    GstCapture capture;
    VideoView view;
    view.resize(257, 198);
    view.show();
    capture.setView(&view);

    // The largest size at 30 fps in motion-JPEG, through the format dialog's
    // list as a user would choose it.
    QTimer::singleShot(0, [] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        auto *sizes = dialog ? dialog->findChild<QComboBox *>("sizeBox") : nullptr;
        auto *rates = dialog ? dialog->findChild<QComboBox *>("rateBox") : nullptr;
        if (!sizes || !rates)
            return;
        sizes->setCurrentIndex(sizes->findText("1280 × 720"));
        rates->setCurrentIndex(rates->findText("30 frames per second (compressed by the camera)"));
        dialog->accept();
    });
    capture.showFormatDialog();
    const auto format = capture.currentFormat();
    if (!format || format->size != QSize(1280, 720) || !format->jpeg || format->fps() != 30.0) {
        std::fprintf(stderr, "record-bench: the webcam's 1280 x 720 JPEG format was not chosen\n");
        return 1;
    }

    // The thread that makes the webcam's pictures: videotestsrc and jpegenc.
    const QByteArray cameraThread = "picture:src";
    QList<Phase> stored, again;
    for (int round = 0; round < rounds; ++round) {
        for (const bool reencode : {round % 2 == 1, round % 2 == 0}) {
            capture.setReencodeCameraJpeg(reencode);
            settle(app, 2000);
            (reencode ? again : stored) << record(capture, file, cameraThread);
        }
    }

    auto summary = [](const QList<Phase> &phases) {
        Phase worst;
        worst.ok = true;
        worst.written = kSeconds * kRate * 10;
        QList<double> shares, cameras;
        for (const Phase &p : phases) {
            worst.ok = worst.ok && p.ok;
            worst.written = std::min(worst.written, p.written);
            worst.dropped = std::max(worst.dropped, p.dropped);
            shares << p.share();
            cameras << p.cameraCpu / kSeconds;
        }
        std::sort(shares.begin(), shares.end());
        std::sort(cameras.begin(), cameras.end());
        return std::tuple{worst, shares[shares.size() / 2], cameras[cameras.size() / 2]};
    };
    const auto [s, sShare, sCamera] = summary(stored);
    const auto [a, aShare, aCamera] = summary(again);
    std::printf("record-bench webcam 1280x720@30 MJPEG, %d rounds: stored: %s, frames written %d "
                "of %d expected, %d dropped, CPU %.1f%% of one core; decoded and encoded again: "
                "%s, frames written %d, %d dropped, CPU %.1f%% of one core; CPU ratio %.2f; the "
                "webcam's own picture making %.0f%% of one core, left out; peak memory %ld MB\n",
                rounds, s.ok ? "recorded" : "FAILED", s.written, kSeconds * kRate, s.dropped, 100 * sShare,
                a.ok ? "recorded" : "FAILED", a.written, a.dropped, 100 * aShare,
                aShare > 0 ? sShare / aShare : 0.0, 100 * (sCamera + aCamera) / 2, peakMegabytes());
    return s.ok && a.ok && s.written > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    gstsupport::ensureInitialised();
    QTemporaryDir dir;
    const QString file = dir.filePath("video.avi");
    const QStringList args = app.arguments();
    if (args.size() > 1 && args[1] == "webcam")
        return webcam(app, file, args.size() > 2 ? std::max(1, args[2].toInt()) : 2);
    return testCamera(app, file);
}
