// Recording from the test camera and microphone, read back with ffprobe.
#include "CaptureTestSupport.h"
#include "TestPaths.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <complex>
#include <memory>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using namespace capturetest;

namespace {

struct Run
{
    bool result = false;   // captureEnded's started
    int ends = 0;
    bool endedWithinCall = false;
    double recordedSeconds = -1;   // from "Recording" to the stop click
    int ticks = 0;                 // of the event loop while capturing
    bool stopResult = false;
    bool indexWhenEnded = false;
    QString problem;
    QStringList texts;
    QList<int> codes;
    [[nodiscard]] bool said(const QString &part) const
    {
        for (const QString &t : texts)
            if (t.contains(part))
                return true;
        return false;
    }
    [[nodiscard]] QString all() const { return texts.join(" | "); }
    [[nodiscard]] bool endedOnceLater() const { return ends == 1 && !endedWithinCall; }
};

// Records like the window: startCapture() returns at once and the event loop
// goes on, ticking every 100 ms; the user's Stop comes in a tick once
// stopAfterMs have passed (never when stopAfterMs < 0).
Run record(GstCapture &capture, const QString &file, int stopAfterMs,
           const std::function<void()> &inTick = {})
{
    Run run;
    QElapsedTimer clock;
    bool stopped = false;
    QObject guard;
    QObject::connect(&capture, &CaptureComponent::statusText, &guard,
                     [&](int32_t code, const QString &text) {
                         run.codes << code;
                         run.texts << text;
                         // The first word comes as soon as the recording runs.
                         if (!clock.isValid())
                             clock.start();
                     });
    QObject::connect(&capture, &CaptureComponent::captureEnded, &guard, [&](bool started) {
        ++run.ends;
        run.result = started;
        run.indexWhenEnded = hasAviIndex(file);
        run.problem = capture.recordingProblem();
    });
    QTimer tick;
    tick.setInterval(100);
    QObject::connect(&tick, &QTimer::timeout, &guard, [&] {
        if (run.ends)
            return;
        ++run.ticks;
        if (inTick)
            inTick();
        if (stopAfterMs >= 0 && !stopped && clock.isValid() && clock.elapsed() >= stopAfterMs) {
            stopped = true;
            run.recordedSeconds = clock.nsecsElapsed() / 1e9;
            run.stopResult = capture.stop();
        }
    });
    capture.setCaptureFileName(file);
    capture.startCapture();
    run.endedWithinCall = run.ends > 0;
    tick.start();
    (void)QTest::qWaitFor([&] { return run.ends > 0; }, 120000);
    QTest::qWait(100);   // time for a second end, which must not come
    return run;
}

// Chooses the largest size and its fastest rate in the format dialog; the
// sizes it offered go to sizes.
// rateFits: whether the chosen rate's whole text shows in its box.
void chooseLargestFormat(GstCapture &capture, QStringList *sizes, bool *rateFits)
{
    QTimer::singleShot(0, [sizes, rateFits] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        auto *sizeBox = dialog->findChild<QComboBox *>("sizeBox");
        auto *rateBox = dialog->findChild<QComboBox *>("rateBox");
        for (int i = 0; i < sizeBox->count(); ++i)
            *sizes << sizeBox->itemText(i);
        sizeBox->setCurrentIndex(sizeBox->count() - 1);
        rateBox->setCurrentIndex(rateBox->count() - 1);
        *rateFits = rateBox->width()
                    > rateBox->fontMetrics().horizontalAdvance(rateBox->currentText());
        dialog->findChild<QDialogButtonBox *>("buttons")->button(QDialogButtonBox::Ok)->click();
    });
    capture.showFormatDialog();
}

// What the window's Compress step runs, in the clip's folder.
bool compresses(const QString &clip, QString *why)
{
    QProcess p;
    p.setWorkingDirectory(QFileInfo(clip).absolutePath());
    p.start(testpaths::programDir() + "/avi2mpg1",
            {"-e", "-s", "600", QFileInfo(clip).fileName(), "mirabo.mpg"});
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit
                    && p.exitCode() == 0;
    *why = QString::fromUtf8(p.readAllStandardError());
    return ok;
}

// What this process has open, by /proc/self/fd's link texts.
QStringList openDescriptors()
{
    QStringList out;
    const QDir fds("/proc/self/fd");
    // A memfd is a regular file, a pipe or socket a system one.
    for (const QString &fd :
         fds.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        char target[256] = {};
        const ssize_t n = ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target,
                                     sizeof target - 1);
        if (n > 0)   // else closed meanwhile by another thread
            out << QString::fromLocal8Bit(target, n);
    }
    return out;
}

// A sound server of the test's own, which goes when the test process does:
// the speakers (a null sink) play 1000 Hz, and "Built-in Microphone", the
// default source, hears a room (another null sink) where 440 Hz plays. The
// tones come from GStreamer, whose streams ask for a short latency:
// PulseAudio's own sine modules leave a sink at two seconds a block.
class PrivatePulseAudio
{
public:
    ~PrivatePulseAudio()
    {
        for (const ElementRef &tone : tones)
            gstsupport::shutDown(tone.get());
        qunsetenv("PULSE_SERVER");
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
    }
    // Empty when it runs, else why it does not.
    QString start()
    {
        if (QStandardPaths::findExecutable("pulseaudio").isEmpty()
            || QStandardPaths::findExecutable("pactl").isEmpty())
            return "pulseaudio and pactl are not installed";
        const QString socket = m_dir.filePath("native");
        for (const char *name : {"XDG_RUNTIME_DIR", "HOME"})
            m_env.insert(name, m_dir.path());
        m_env.insert("PULSE_SERVER", "unix:" + socket);
        m_server.setProcessEnvironment(m_env);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_server.start("pulseaudio",
                       {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                        "--log-target=stderr", "-L",
                        "module-native-protocol-unix auth-anonymous=1 socket=" + socket, "-L",
                        "module-null-sink sink_name=speakers "
                        "sink_properties=device.description=Speakers",
                        "-L", "module-null-sink sink_name=room sink_properties=device.description=Room",
                        "-L",
                        "module-remap-source master=room.monitor source_name=mic "
                        "source_properties='device.description=\"Built-in Microphone\"'"});
        for (QDeadlineTimer deadline(10000); !pactl({"set-default-source", "mic"}); QTest::qWait(100))
            if (deadline.hasExpired() || m_server.state() == QProcess::NotRunning)
                return "pulseaudio did not start: " + QString::fromLocal8Bit(m_server.readAll());
        qputenv("PULSE_SERVER", m_env.value("PULSE_SERVER").toLocal8Bit());
        for (const char *tone : {"freq=1000 ! pulsesink device=speakers",
                                 "freq=440 ! pulsesink device=room"}) {
            const QByteArray line = QByteArray("audiotestsrc is-live=true volume=0.3 ") + tone;
            GstElement *pipeline = gst_parse_launch(line.constData(), nullptr);
            tones.push_back(ElementRef::adopt(GST_ELEMENT(gst_object_ref_sink(pipeline))));
            gst_element_set_state(pipeline, GST_STATE_PLAYING);
        }
        // A new null sink renders two seconds at a time until the tones' latency applies.
        const QRegularExpression latency("\\bLatency: ([0-9]+) usec");
        QString sinks;
        for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QTest::qWait(100)) {
            bool settled = pactl({"list", "sinks"}, &sinks);
            for (const auto &m : latency.globalMatch(sinks))
                settled = settled && m.captured(1).toLongLong() < 500000;
            if (settled)
                return {};
        }
        return "the sinks kept a latency of seconds: " + sinks;
    }
    bool pactl(const QStringList &args, QString *output = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(m_env);
        p.start("pactl", args);
        const bool ok = p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit
                        && p.exitCode() == 0;
        if (output)
            *output = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        return ok;
    }
    std::vector<ElementRef> tones;   // the speakers', the room's

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    QProcess m_server;
};

// The level of each tone in the clip's sound, in dB of full scale: over
// Hann-windowed tenths of a second, as a tone through the server may be a
// hertz off.
QList<double> toneLevels(const QString &clip, const QList<int> &tones)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", clip, "-ac", "1", "-ar", "44100", "-f", "s16le", "-"});
    p.waitForFinished(60000);
    const QByteArray pcm = p.readAllStandardOutput();
    const auto *x = reinterpret_cast<const qint16 *>(pcm.constData());
    constexpr int n = 4410;
    const qsizetype blocks = pcm.size() / 2 / n;
    QList<double> levels;
    for (int hz : tones) {
        double power = 0;
        for (qsizetype b = 0; b < blocks; ++b) {
            std::complex<double> sum;
            for (int i = 0; i < n; ++i)
                sum += x[b * n + i] * (1 - std::cos(2 * M_PI * i / n)) / 2
                       * std::polar(1.0, -2 * M_PI * hz * i / 44100);
            power += std::norm(sum);
        }
        // The window's weights add up to half a block.
        const double amplitude = 4 * std::sqrt(power / double(std::max<qsizetype>(blocks, 1))) / n;
        levels << 20 * std::log10(std::max(amplitude / 32768, 1e-9));
    }
    return levels;
}

} // namespace

class CaptureRecordingTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void recordsPictureAndSoundForTheTimeRecorded();
    void webcamsRecordTheirDefaultAndLargestFormats_data();
    void webcamsRecordTheirDefaultAndLargestFormats();
    void soundLevelShowsWhileRecording_data();
    void soundLevelShowsWhileRecording();
    void soundComesFromTheMicrophoneTheUserMeans();
    void recordsPictureOnlyWithoutSound_data();
    void recordsPictureOnlyWithoutSound();
    void captureThatCannotStartEndsNotStarted_data();
    void captureThatCannotStartEndsNotStarted();
    void cameraFailingMidwayLeavesAPlayableClip();
    void stopIsHarmlessWhenIdleAndRepeated();
    void callsDuringACaptureGetOneEndEach();
    void recordingsLeaveNoDescriptorsOpen_data();
    void recordingsLeaveNoDescriptorsOpen();
    void timeLimitAndFrameRateShapeTheClip_data();
    void timeLimitAndFrameRateShapeTheClip();
    void recordsFromTheChosenDevice();
    void livePictureGoesOnOrPausesDuringRecording();
    void confirmationCanCancelTheCapture();
    void settingsOutOfRangeAreRefused();
    void preparationReportsFreeSpaceOrAnUnwritablePlace();

private:
    QTemporaryDir m_dir;
    QString clipPath() const { return m_dir.filePath("video.avi"); }
};

void CaptureRecordingTest::init()
{
    QVERIFY(m_dir.isValid());
    QFile::remove(clipPath());
}

void CaptureRecordingTest::recordsPictureAndSoundForTheTimeRecorded()
{
    useTestDevices(1, 1);
    GstCapture capture;
    VideoView view;
    sizeLikeTheWindow(view);
    capture.setView(&view);
    applyWindowSettings(capture);
    capture.setCaptureFileName(clipPath());
    int32_t preparation = 0;
    capture.prepareCapture(preparation);
    QVERIFY(preparation > 0);

    const Run run = record(capture, clipPath(), 3000);
    QVERIFY2(run.result, qPrintable(run.all()));
    QVERIFY(run.endedOnceLater());
    QVERIFY(run.stopResult);
    // The file is complete when the end is told: Play may open it at once.
    QVERIFY(run.indexWhenEnded);
    // The window's events went on meanwhile.
    QVERIFY(run.ticks >= 10);
    QVERIFY2(run.said("Recording 00:02 – "), qPrintable(run.all()));
    QVERIFY2(run.texts.last().startsWith("Recorded 00:03 – "), qPrintable(run.all()));
    QVERIFY2(run.texts.last().endsWith(", 0 dropped"), qPrintable(run.all()));
    QVERIFY(!run.codes.contains(GstCapture::kStatusError));

    const Clip clip = probeClip(clipPath());
    QVERIFY(clip.readable);
    QVERIFY(hasAviIndex(clipPath()));
    QCOMPARE(clip.ofType("video").size(), 1);
    QCOMPARE(clip.ofType("audio").size(), 1);
    const QJsonObject video = clip.ofType("video").first();
    const QJsonObject audio = clip.ofType("audio").first();
    QCOMPARE(video.value("codec_name").toString(), QString("mjpeg"));
    QCOMPARE(video.value("r_frame_rate").toString(), QString("25/1"));
    QCOMPARE(video.value("width").toInt(), 640);
    QCOMPARE(video.value("height").toInt(), 480);
    QCOMPARE(audio.value("codec_name").toString(), QString("pcm_s16le"));
    QCOMPARE(audio.value("sample_rate").toString(), QString("44100"));

    QVERIFY2(clip.duration > 0, "no duration: the index is missing");
    QVERIFY2(qAbs(clip.duration - run.recordedSeconds) <= 0.3,
             qPrintable(QString("clip %1 s, recorded %2 s").arg(clip.duration).arg(run.recordedSeconds)));
    const int frames = intField(video, "nb_read_frames");
    QVERIFY2(qAbs(frames - clip.duration * 25) <= 1.0,
             qPrintable(QString("%1 frames in %2 s").arg(frames).arg(clip.duration)));
    QCOMPARE(intField(video, "nb_frames"), frames);
    // AVI counts PCM sound in samples.
    const double soundSeconds = intField(audio, "nb_frames") / 44100.0;
    QVERIFY2(qAbs(soundSeconds - clip.duration) <= 0.2,
             qPrintable(QString("sound %1 s, clip %2 s").arg(soundSeconds).arg(clip.duration)));
}

void CaptureRecordingTest::webcamsRecordTheirDefaultAndLargestFormats_data()
{
    QTest::addColumn<uint>("personality");
    QTest::addColumn<bool>("largest");
    QTest::addColumn<QStringList>("sizes");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("cameraJpeg");
    const QStringList typical{"640 × 480", "1280 × 720", "1920 × 1080"};
    const QStringList mjpeg{"640 × 480", "1280 × 720"};
    // Raw YUY2 is preferred where the webcam offers it at the same rate.
    QTest::newRow("typical, default") << uint(MIRABO_TEST_DEVICE_TYPICAL_WEBCAM) << false
                                      << typical << QSize(640, 480) << false;
    QTest::newRow("typical, largest") << uint(MIRABO_TEST_DEVICE_TYPICAL_WEBCAM) << true
                                      << typical << QSize(1920, 1080) << true;
    QTest::newRow("MJPEG only, default") << uint(MIRABO_TEST_DEVICE_MJPEG_WEBCAM) << false
                                         << mjpeg << QSize(640, 480) << true;
    QTest::newRow("MJPEG only, largest") << uint(MIRABO_TEST_DEVICE_MJPEG_WEBCAM) << true
                                         << mjpeg << QSize(1280, 720) << true;
}

void CaptureRecordingTest::webcamsRecordTheirDefaultAndLargestFormats()
{
    QFETCH(uint, personality);
    QFETCH(bool, largest);
    QFETCH(QStringList, sizes);
    QFETCH(QSize, size);
    QFETCH(bool, cameraJpeg);
    gstsupport::ensureInitialised();
    QVERIFY(testcamera::registerTestWebcam(personality, 1));
    GstCapture capture;
    VideoView view;
    sizeLikeTheWindow(view);
    capture.setView(&view);
    QCOMPARE(capture.currentFormat()->size, QSize(640, 480));
    QVERIFY(capture.currentFormat()->fps() >= 25.0);
    if (largest) {
        QStringList offered;
        bool rateFits = false;
        chooseLargestFormat(capture, &offered, &rateFits);
        QCOMPARE(offered, sizes);
        QVERIFY(rateFits);
    }
    QCOMPARE(capture.currentFormat()->size, size);
    QCOMPARE(capture.currentFormat()->jpeg, cameraJpeg);
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() > 3, 5000);
    // Decoded at a fraction of the camera's size, near the view's.
    QVERIFY(view.currentFrame().width() <= std::max(2 * view.width(), 320));

    applyWindowSettings(capture);
    capture.setTimeLimitEnabled(true);
    capture.setTimeLimitSeconds(2);
    const Run run = record(capture, clipPath(), -1);
    QVERIFY2(run.result, qPrintable(run.all()));
    QVERIFY2(!run.codes.contains(GstCapture::kStatusError), qPrintable(run.all()));

    const Clip clip = probeClip(clipPath());
    QVERIFY(hasAviIndex(clipPath()));
    QVERIFY2(clip.ofType("audio").size() == 1, qPrintable(run.all()));
    QCOMPARE(clip.ofType("video").size(), 1);
    const QJsonObject video = clip.ofType("video").first();
    QCOMPARE(video.value("codec_name").toString(), QString("mjpeg"));
    QCOMPARE(QSize(video.value("width").toInt(), video.value("height").toInt()), size);
    QCOMPARE(video.value("r_frame_rate").toString(), QString("25/1"));
    QVERIFY2(qAbs(clip.duration - 2.0) <= 0.3, qPrintable(QString::number(clip.duration)));
    const int frames = intField(video, "nb_read_frames");
    QCOMPARE(intField(video, "nb_frames"), frames);
    QVERIFY2(qAbs(frames - clip.duration * 25) <= 1.0,
             qPrintable(QString("%1 frames in %2 s").arg(frames).arg(clip.duration)));
    // The last word counts what the file holds.
    QVERIFY2(run.texts.last().contains(QString(" – %1 frames, ").arg(frames)), qPrintable(run.all()));

    // Every stored picture is the camera's own, or none is.
    QFile file(clipPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qsizetype cameraPictures = file.readAll().count(MIRABO_TEST_WEBCAM_JPEG_COMMENT);
    QCOMPARE(cameraPictures, cameraJpeg ? qsizetype(frames) : 0);

    QString why;
    QVERIFY2(compresses(clipPath(), &why), qPrintable(why));
    QVERIFY(probeClip(m_dir.filePath("mirabo.mpg")).duration > 1.5);
}

void CaptureRecordingTest::soundLevelShowsWhileRecording_data()
{
    QTest::addColumn<int>("microphones");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("sound");
    QTest::addColumn<QString>("after");
    QTest::newRow("tone") << 1 << false << "sound level -1[0-9] dB" << "";
    QTest::newRow("silence") << 1 << true << "microphone silent"
                             << "no sound was heard from \"Test Microphone\"";
    QTest::newRow("no microphone") << 0 << false << "no microphone"
                                   << "picture only: no microphone was found";
}

void CaptureRecordingTest::soundLevelShowsWhileRecording()
{
    QFETCH(int, microphones);
    QFETCH(bool, silent);
    QFETCH(QString, sound);
    QFETCH(QString, after);
    testcamera::Faults faults;
    faults.microphoneSilent = silent;
    useTestDevices(1, microphones, faults);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);

    const Run run = record(capture, clipPath(), 1600);
    QVERIFY2(run.result, qPrintable(run.all()));
    // The time and frames stay; the sound follows them.
    const QRegularExpression progress("^Recording 00:0[0-9] – [0-9]+ frames, [0-9]+ dropped, "
                                      + sound + "$");
    QVERIFY2(run.texts.filter(progress).size() >= 2, qPrintable(run.all()));
    // A tone is never taken for silence, nor silence for a level.
    QVERIFY2(!run.said(silent ? "sound level" : "silent"), qPrintable(run.all()));
    QVERIFY2(run.texts.last().startsWith("Recorded 00:01 – "), qPrintable(run.all()));
    // A clip without sound is told so once more when it has been recorded.
    QVERIFY2(after.isEmpty() ? !run.texts.last().contains("sound")
                             : run.texts.last().endsWith(", " + after),
             qPrintable(run.all()));
    QCOMPARE(capture.recordingNotice(), after.isEmpty() ? after : "Recorded 00:01 – " + after);
}

void CaptureRecordingTest::soundComesFromTheMicrophoneTheUserMeans()
{
    useTestDevices(1, 0);
    const auto pulse = gsthandle::Object<GstDeviceProviderFactory>::adopt(
        gst_device_provider_factory_find("pulsedeviceprovider"));
    if (!pulse)
        QSKIP("GStreamer's PulseAudio plugin is not installed");
    PrivatePulseAudio server;
    if (const QString why = server.start(); !why.isEmpty())
        QSKIP(qPrintable("no private sound server: " + why));
    gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(pulse.get()), GST_RANK_PRIMARY);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);
    const auto microphones = [&capture] {
        QStringList names;
        for (int32_t i = 0; i < capture.microphoneCount(); ++i)
            names << capture.microphoneName(i);
        return names;
    };
    const auto heard = [this](const char *what) {
        const QList<double> levels = toneLevels(clipPath(), {440, 1000});
        qInfo("%s: 440 Hz at %.1f dB, 1000 Hz at %.1f dB", what, levels.value(0), levels.value(1));
        return levels.size() == 2 ? levels[0] - levels[1] : 0.0;
    };

    // Monitors come first; the server's default source is used.
    QCOMPARE(microphones(),
             (QStringList{"Monitor of Speakers", "Monitor of Room", "Built-in Microphone"}));
    QCOMPARE(capture.currentMicrophone(), 2);
    QVERIFY(record(capture, clipPath(), 1500).result);
    QVERIFY(heard("default source") > 30);
    QVERIFY(capture.recordingNotice().isEmpty());

    // One plugged in comes; made the default while the program runs, it is
    // recorded from at once.
    QString desk;
    QVERIFY(server.pactl({"load-module", "module-remap-source", "master=speakers.monitor",
                          "source_name=desk", "source_properties=device.description=Desk"},
                         &desk));
    QTRY_COMPARE(microphones().value(3), QString("Desk"));
    QCOMPARE(capture.currentMicrophone(), 2);
    QVERIFY(server.pactl({"set-default-source", "desk"}));
    QVERIFY(record(capture, clipPath(), 1500).result);
    QVERIFY(heard("default source changed") < -30);
    QTRY_COMPARE(capture.currentMicrophone(), 3);

    // Chosen, the speakers' monitor records what they play, and their silence.
    capture.setCurrentMicrophone(0);
    QCOMPARE(capture.currentMicrophone(), 0);
    gstsupport::shutDown(server.tones.front().get());
    QVERIFY(record(capture, clipPath(), 1500).result);
    QCOMPARE(capture.recordingNotice(),
             QString("Recorded 00:01 – no sound was heard from \"Monitor of Speakers\""));

    // A chosen one unplugged leaves the default in its place.
    capture.setCurrentMicrophone(3);
    QSignalSpy status(&capture, &GstCapture::statusText);
    QVERIFY(server.pactl({"unload-module", desk}));
    QTRY_COMPARE(capture.microphoneCount(), 3);
    QCOMPARE(capture.currentMicrophone(), 2);
    QVERIFY(!status.isEmpty());
    QCOMPARE(status.last().value(1).toString(),
             QString("The microphone \"Desk\" was unplugged; sound now comes from \"Built-in "
                     "Microphone\"."));
}

void CaptureRecordingTest::recordsPictureOnlyWithoutSound_data()
{
    QTest::addColumn<int>("microphones");
    QTest::addColumn<bool>("microphoneFails");
    QTest::addColumn<bool>("soundOn");
    QTest::addColumn<QString>("said");
    QTest::newRow("no microphone") << 0 << false << true << "No microphone found";
    QTest::newRow("microphone fails to open") << 1 << true << true << "could not be opened";
    QTest::newRow("sound turned off") << 1 << false << false << "sound is turned off";
}

void CaptureRecordingTest::recordsPictureOnlyWithoutSound()
{
    QFETCH(int, microphones);
    QFETCH(bool, microphoneFails);
    QFETCH(bool, soundOn);
    QFETCH(QString, said);
    testcamera::Faults faults;
    faults.microphoneFailsToOpen = microphoneFails;
    useTestDevices(1, microphones, faults);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);
    capture.setCaptureAudio(soundOn);

    const Run run = record(capture, clipPath(), 1000);
    QVERIFY2(run.result, qPrintable(run.all()));
    QVERIFY2(run.said(said), qPrintable(run.all()));
    QVERIFY2(run.said("picture only"), qPrintable(run.all()));
    QVERIFY2(run.texts.last().contains(", picture only"), qPrintable(run.all()));
    const Clip clip = probeClip(clipPath());
    QCOMPARE(clip.streams.size(), 1);
    QCOMPARE(clip.ofType("video").size(), 1);
    QVERIFY2(qAbs(clip.duration - run.recordedSeconds) <= 0.3,
             qPrintable(QString("clip %1 s, recorded %2 s").arg(clip.duration).arg(run.recordedSeconds)));

    if (microphones == 0) {
        // One plugged in while the program runs is there for the next recording.
        QSignalSpy changed(&capture, &GstCapture::devicesChanged);
        useTestDevices(1, 1);
        QTRY_VERIFY_WITH_TIMEOUT(changed.size() >= 2 && capture.isLive(), 5000);
        const Run again = record(capture, clipPath(), 1000);
        QVERIFY2(again.result && !again.said("picture only"), qPrintable(again.all()));
    }
}

void CaptureRecordingTest::captureThatCannotStartEndsNotStarted_data()
{
    QTest::addColumn<int>("cameras");
    QTest::addColumn<bool>("cameraFails");
    QTest::addColumn<bool>("fileUnderAFile");
    QTest::addColumn<QString>("said");
    QTest::newRow("no camera") << 0 << false << false << "no camera is connected";
    QTest::newRow("camera busy") << 1 << true << false << "in use by another program";
    // A path below a regular file cannot be written, not even by root.
    QTest::newRow("file not writable") << 1 << false << true << "Cannot record";
}

void CaptureRecordingTest::captureThatCannotStartEndsNotStarted()
{
    QFETCH(int, cameras);
    QFETCH(bool, cameraFails);
    QFETCH(bool, fileUnderAFile);
    QFETCH(QString, said);
    testcamera::Faults faults;
    faults.cameraFailingToStart = cameraFails ? 1 : 0;
    useTestDevices(cameras, 1, faults);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);

    QString file = clipPath();
    if (fileUnderAFile) {
        QFile blocker(m_dir.filePath("plain-file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        file = m_dir.filePath("plain-file/video.avi");
    }
    const Run run = record(capture, file, 500);
    QVERIFY(!run.result);
    QVERIFY(run.endedOnceLater());
    QVERIFY(!QFile::exists(file));
    QVERIFY(!run.texts.isEmpty());
    QCOMPARE(run.codes.last(), GstCapture::kStatusError);
    QVERIFY2(run.texts.last().contains(said), qPrintable(run.all()));
    QVERIFY(!capture.isCapturing());
    QVERIFY(!capture.stop());
}

void CaptureRecordingTest::cameraFailingMidwayLeavesAPlayableClip()
{
    testcamera::Faults faults;
    faults.cameraFailingAfter = 1;
    faults.failAfterFrames = 50;   // two seconds
    useTestDevices(1, 1, faults);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);

    // Nobody presses Stop: the camera's failure ends the capture.
    const Run run = record(capture, clipPath(), -1);
    QVERIFY(run.result);
    QVERIFY2(run.said("stopped working"), qPrintable(run.all()));
    QCOMPARE(run.codes.last(), GstCapture::kStatusError);
    QVERIFY(run.texts.last().contains("recording so far was kept"));
    QVERIFY2(run.problem.contains("stopped working"), qPrintable(run.problem));
    QVERIFY(!capture.isCapturing());

    const Clip clip = probeClip(clipPath());
    QVERIFY(hasAviIndex(clipPath()));
    QCOMPARE(clip.ofType("video").size(), 1);
    QCOMPARE(clip.ofType("audio").size(), 1);
    QVERIFY2(clip.duration > 1.0 && clip.duration < 3.0, qPrintable(QString::number(clip.duration)));
    const int frames = intField(clip.ofType("video").first(), "nb_read_frames");
    QVERIFY2(qAbs(frames - clip.duration * 25) <= 1.0, qPrintable(QString::number(frames)));
}

void CaptureRecordingTest::stopIsHarmlessWhenIdleAndRepeated()
{
    useTestDevices(1, 1);
    GstCapture capture;
    QVERIFY(!capture.stop());
    QVERIFY(!capture.stop());
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);

    QList<bool> results;
    int ticks = 0;
    qsizetype textsAtStop = -1;
    QSignalSpy status(&capture, &GstCapture::statusText);
    const Run run = record(capture, clipPath(), -1, [&] {
        if (++ticks == 5) {
            results << capture.stop() << capture.stop() << capture.stop();
            textsAtStop = status.size();
        }
    });
    QVERIFY(run.result);
    QCOMPARE(results, (QList<bool>{true, false, false}));
    // Once asked to end, it tells no more progress.
    for (qsizetype i = textsAtStop; i < status.size(); ++i)
        QVERIFY2(!status[i][1].toString().startsWith("Recording "), qPrintable(run.all()));
    QVERIFY(!capture.stop());
    QVERIFY(hasAviIndex(clipPath()));

    // The component records again afterwards.
    QFile::remove(clipPath());
    const Run again = record(capture, clipPath(), 500);
    QVERIFY(again.result);
    QVERIFY(probeClip(clipPath()).duration > 0.3);
}

void CaptureRecordingTest::callsDuringACaptureGetOneEndEach()
{
    useTestDevices(1, 1);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);
    capture.setCaptureFileName(clipPath());
    QSignalSpy ended(&capture, &CaptureComponent::captureEnded);
    QSignalSpy status(&capture, &GstCapture::statusText);

    // Stopped before the camera's first picture: broken off, and an earlier
    // clip at the name is not taken for this one.
    QFile earlier(clipPath());
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("an earlier clip") > 0);
    earlier.close();
    capture.startCapture();
    QVERIFY(capture.stop());
    QVERIFY(!capture.stop());
    QCOMPARE(ended.size(), 0);
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended.takeFirst().value(0).toBool(), true);
    QVERIFY2(capture.recordingProblem().contains("before the camera sent a picture"),
             qPrintable(capture.recordingProblem()));
    QVERIFY(!QFile::exists(clipPath()));
    QVERIFY(!capture.isCapturing());

    // A second start while one records: refused on its own, the first goes on.
    capture.startCapture();
    QTRY_VERIFY_WITH_TIMEOUT(!status.isEmpty()
                                 && status.last().value(1).toString().startsWith("Recording "),
                             5000);
    QTest::qWait(500);
    capture.startCapture();
    QCOMPARE(status.last().value(0).toInt(), GstCapture::kStatusWarning);
    QCOMPARE(ended.size(), 0);
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended.takeFirst().value(0).toBool(), false);
    QVERIFY(capture.isCapturing());
    QVERIFY(capture.stop());
    QVERIFY(ended.wait(15000));
    QCOMPARE(ended.takeFirst().value(0).toBool(), true);
    QVERIFY(capture.recordingProblem().isEmpty());
    QVERIFY(hasAviIndex(clipPath()));
    QTest::qWait(100);
    QCOMPARE(ended.size(), 0);
}

void CaptureRecordingTest::recordingsLeaveNoDescriptorsOpen_data()
{
    QTest::addColumn<bool>("pulseAudioOutOfReach");
    QTest::newRow("test devices") << false;
    // Its device provider cannot start: each look at the monitor probes it.
    QTest::newRow("PulseAudio out of reach") << true;
}

void CaptureRecordingTest::recordingsLeaveNoDescriptorsOpen()
{
    QFETCH(bool, pulseAudioOutOfReach);
    useTestDevices(1, 1);
    QTemporaryDir runtime;
    const auto pulse = gsthandle::Object<GstDeviceProviderFactory>::adopt(
        gst_device_provider_factory_find("pulsedeviceprovider"));
    if (pulseAudioOutOfReach) {
        if (!pulse)
            QSKIP("GStreamer's PulseAudio plugin is not installed");
        qputenv("PULSE_SERVER", QFile::encodeName("unix:" + runtime.filePath("none")));
        gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(pulse.get()), GST_RANK_PRIMARY);
    }
    auto capture = std::make_unique<GstCapture>();
    VideoView view;
    capture->setView(&view);
    applyWindowSettings(*capture);

    QStringList afterFirst;
    for (int round = 1; round <= 5; ++round) {
        const Run run = record(*capture, clipPath(), 300);
        QVERIFY2(run.result && !run.said("picture only"), qPrintable(run.all()));
        if (round == 1)
            afterFirst = openDescriptors();
    }
    // Streaming threads may still be closing what they used a moment ago.
    QTRY_VERIFY2(openDescriptors().size() <= afterFirst.size(),
                 qPrintable(openDescriptors().join(' ')));

    // Destroyed mid-recording, it waits for nothing and leaves nothing open.
    QSignalSpy status(capture.get(), &GstCapture::statusText);
    capture->startCapture();
    QTRY_VERIFY_WITH_TIMEOUT(!status.isEmpty()
                                 && status.last().value(1).toString().startsWith("Recording "),
                             5000);
    bool loopRan = false;
    QTimer::singleShot(0, &view, [&] { loopRan = true; });
    capture.reset();
    QVERIFY(!loopRan);
    capture = std::make_unique<GstCapture>();
    capture->setView(&view);
    applyWindowSettings(*capture);
    QVERIFY(record(*capture, clipPath(), 300).result);
    QTRY_VERIFY2(openDescriptors().size() <= afterFirst.size(),
                 qPrintable(openDescriptors().join(' ')));
    qunsetenv("PULSE_SERVER");
}

void CaptureRecordingTest::timeLimitAndFrameRateShapeTheClip_data()
{
    QTest::addColumn<int>("rate");
    QTest::newRow("25 fps") << 25;
    QTest::newRow("10 fps") << 10;
}

void CaptureRecordingTest::timeLimitAndFrameRateShapeTheClip()
{
    QFETCH(int, rate);
    useTestDevices(1, 1);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);
    capture.setTimeLimitEnabled(true);
    capture.setTimeLimitSeconds(2);
    capture.setCaptureFrameRate(rate);

    const Run run = record(capture, clipPath(), -1);
    QVERIFY(run.result);
    const Clip clip = probeClip(clipPath());
    QVERIFY2(qAbs(clip.duration - 2.0) <= 0.3, qPrintable(QString::number(clip.duration)));
    const QJsonObject video = clip.ofType("video").first();
    QCOMPARE(video.value("r_frame_rate").toString(), QString("%1/1").arg(rate));
    QVERIFY(qAbs(intField(video, "nb_read_frames") - clip.duration * rate) <= 1.0);
}

void CaptureRecordingTest::recordsFromTheChosenDevice()
{
    useTestDevices(3, 0);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);
    capture.setCurrentDevice(2);   // "Test Camera 3" is blue

    // Choosing another device while recording waits for the recording's end.
    bool chose = false;
    const Run run = record(capture, clipPath(), 1000, [&] {
        if (!chose) {
            chose = true;
            capture.setCurrentDevice(1);
        }
    });
    QVERIFY(run.result);
    const QColor colour = clipCentreColour(clipPath(), 0.8);
    QVERIFY2(isMostly(colour, 2), qPrintable(colour.name()));
    QCOMPARE(capture.currentDevice(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(isMostly(centreColour(view), 0), 5000);
}

void CaptureRecordingTest::livePictureGoesOnOrPausesDuringRecording()
{
    useTestDevices(1, 0);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() > 0, 5000);

    quint64 atFirstTick = 0;
    quint64 atStop = 0;
    auto watch = [&] {
        if (!atFirstTick)
            atFirstTick = view.framesShown();
        atStop = view.framesShown();
    };
    QVERIFY(record(capture, clipPath(), 1000, watch).result);
    QVERIFY2(atStop >= atFirstTick + 15, qPrintable(QString("%1 -> %2").arg(atFirstTick).arg(atStop)));

    capture.setPreviewDuringCapture(false);
    atFirstTick = 0;
    QVERIFY(record(capture, clipPath(), 1000, watch).result);
    QVERIFY2(atStop <= atFirstTick + 1, qPrintable(QString("%1 -> %2").arg(atFirstTick).arg(atStop)));
    // And the picture comes back afterwards.
    const quint64 after = view.framesShown();
    QTRY_VERIFY_WITH_TIMEOUT(view.framesShown() > after + 5, 5000);
}

void CaptureRecordingTest::confirmationCanCancelTheCapture()
{
    useTestDevices(1, 0);
    GstCapture capture;
    VideoView view;
    capture.setView(&view);
    applyWindowSettings(capture);
    capture.setConfirmBeforeCapture(true);

    auto answer = [](QMessageBox::StandardButton button) {
        QTimer::singleShot(0, [button] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            box->button(button)->click();
        });
    };
    answer(QMessageBox::No);
    const Run declined = record(capture, clipPath(), 500);
    QVERIFY(!declined.result);
    QVERIFY(!QFile::exists(clipPath()));

    answer(QMessageBox::Yes);
    const Run confirmed = record(capture, clipPath(), 500);
    QVERIFY(confirmed.result);
    QVERIFY(hasAviIndex(clipPath()));
}

void CaptureRecordingTest::settingsOutOfRangeAreRefused()
{
    useTestDevices(1, 0);
    GstCapture capture;
    for (int rate : {0, -25, 61})
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, capture.setCaptureFrameRate(rate));
    for (int seconds : {0, -1, 61})
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, capture.setBufferSeconds(seconds));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, capture.setTimeLimitSeconds(0));
}

void CaptureRecordingTest::preparationReportsFreeSpaceOrAnUnwritablePlace()
{
    useTestDevices(1, 0);
    GstCapture capture;
    QSignalSpy status(&capture, &GstCapture::statusText);
    int32_t value = 0;
    capture.setCaptureFileName(clipPath());
    capture.prepareCapture(value);
    QVERIFY(value > 0);
    QCOMPARE(status.size(), 0);

    QFile blocker(m_dir.filePath("plain-file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    capture.setCaptureFileName(m_dir.filePath("plain-file/video.avi"));
    capture.prepareCapture(value);
    QCOMPARE(value, -1);
    QCOMPARE(status.size(), 1);
    QCOMPARE(status[0][0].toInt(), GstCapture::kStatusError);
}

QTEST_MAIN(CaptureRecordingTest)
#include "tst_capture_recording.moc"
