// Recording: capture() and stop() of GstCapture.
#include "GstCapture.h"

#include "Recorder.h"
#include "VideoView.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kYieldIntervalMs = 100;
constexpr int kProgressIntervalMs = 500;
constexpr int kFirstFrameWaitMs = 3000;
// EOS has to pass what waits in the buffer; beyond this the file is given up.
constexpr int kFinishGraceMs = 5000;
// A microphone that is off or muted still hisses a little; speech peaks far above.
constexpr double kSilentBelowDb = -60.0;

QString clockText(double seconds)
{
    const int whole = int(seconds);
    return QStringLiteral("%1:%2").arg(whole / 60, 2, 10, QLatin1Char('0')).arg(whole % 60, 2, 10,
                                                                              QLatin1Char('0'));
}

} // namespace

bool GstCapture::isRecording() const
{
    return bool(m_recorder);
}

QString GstCapture::progressText(const QString &verb) const
{
    if (!m_recorder)
        return QString();
    return QStringLiteral("%1 %2 – %3 frames, %4 dropped")
        .arg(verb, clockText(m_recorder->seconds()))
        .arg(m_recorder->framesWritten())
        .arg(m_recorder->framesDuplicated() + m_recorder->framesOverflowed());
}

QString GstCapture::soundText() const
{
    if (!m_recorder->hasSound())
        return m_whyNoSound;
    if (!m_recorder->soundProblem().isEmpty())
        return QStringLiteral("microphone stopped");
    const std::optional<double> peak = m_recorder->soundPeak();
    if (!peak)
        return QString();
    if (*peak < kSilentBelowDb)
        return QStringLiteral("microphone silent");
    return QStringLiteral("sound level %1 dB").arg(qRound(*peak));
}

void GstCapture::reportProgress()
{
    if (!m_recorder || m_finishing)
        return;
    QString text = progressText(QStringLiteral("Recording"));
    const QString sound = soundText();
    if (!sound.isEmpty())
        text += QStringLiteral(", ") + sound;
    say(kStatusInfo, text);
}

bool GstCapture::capture()
{
    if (m_recorder) {
        say(kStatusWarning, QStringLiteral("A recording is already running."));
        return false;
    }
    if (!startRecording())
        return false;

    QEventLoop loop;
    connect(this, &GstCapture::recordingEnded, &loop, &QEventLoop::quit);
    QTimer yield;
    yield.setInterval(kYieldIntervalMs);
    connect(&yield, &QTimer::timeout, this, [this] {
        if (m_recorder && !m_finishing)
            emit yieldRequested();
    });
    QTimer progress;
    progress.setInterval(kProgressIntervalMs);
    connect(&progress, &QTimer::timeout, this, &GstCapture::reportProgress);
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    connect(&limit, &QTimer::timeout, this, [this] { finishRecording(); });

    // Without yields the user cannot stop it, so the limit applies then too.
    if (m_timeLimit || !m_yield)
        limit.start(m_timeLimitSeconds * 1000);
    if (m_yield)
        yield.start();
    progress.start();
    if (m_recorder && !m_recorder->isDone())
        loop.exec(m_yield ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);

    // The loop also ends when the application quits: the file is finished
    // all the same.
    finishRecording();
    m_camera->setPreviewEnabled(true);
    if (m_endProblem.isEmpty())
        say(kStatusInfo, progressText(QStringLiteral("Recorded"))
                             + (m_recorder->hasSound() ? QString() : QStringLiteral(", picture only")));
    else
        say(kStatusError, m_endProblem);
    m_recorder.reset();
    m_finishing = false;

    const int32_t next = m_pendingDevice.value_or(m_current);
    const bool restart = next != m_current || std::exchange(m_restartLive, false);
    m_pendingDevice.reset();
    const bool otherDevice = next != m_current;
    m_current = next;
    if (restart && m_view)
        startLive();
    if (otherDevice)
        emit devicesChanged();
    return true;
}

QString GstCapture::recordingProblem() const
{
    return m_brokenOff;
}

bool GstCapture::startRecording()
{
    m_endProblem.clear();
    m_brokenOff.clear();
    CaptureDevice *device = currentDeviceEntry();
    if (!device) {
        say(kStatusError, QStringLiteral("Cannot record: no camera is connected."));
        return false;
    }
    if (m_captureFile.isEmpty()) {
        say(kStatusError, QStringLiteral("Cannot record: no capture file has been named."));
        return false;
    }
    const QString fileText = QDir::toNativeSeparators(m_captureFile);
    const QFileInfo folder(QFileInfo(m_captureFile).absolutePath());
    if (!folder.isDir()) {
        say(kStatusError, QStringLiteral("Cannot record: the folder of the capture file %1 does "
                                         "not exist.")
                              .arg(fileText));
        return false;
    }
    if (m_confirm) {
        QWidget *parent = m_view ? m_view->window() : nullptr;
        if (QMessageBox::question(parent, QStringLiteral("Mirabo"),
                                  QStringLiteral("Start recording from \"%1\" now?").arg(device->name))
            != QMessageBox::Yes) {
            say(kStatusInfo, QStringLiteral("Recording cancelled."));
            return false;
        }
    }

    if (!isLive()) {
        QString error;
        if (!m_camera->start(device->device.get(), currentFormat(),
                             m_view ? m_view->size() : QSize(), &error)) {
            say(kStatusError, QStringLiteral("Cannot record: the camera \"%1\" could not be "
                                             "started (%2).")
                                  .arg(device->name, error));
            return false;
        }
        applyStoredControls();
    }
    if (m_camera->framesSeen() == 0) {
        // A camera can start and still fail while it settles on a format.
        QEventLoop wait;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &wait, [&] {
            if (m_camera->framesSeen() > 0 || !isLive())
                wait.quit();
        });
        poll.start(20);
        QTimer::singleShot(kFirstFrameWaitMs, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!isLive() || m_camera->framesSeen() == 0) {
        say(kStatusError, QStringLiteral("Cannot record: the camera \"%1\" sends no picture.")
                              .arg(device->name));
        return false;
    }

    std::vector<CaptureDevice> microphones;
    if (m_captureAudio)
        microphones = this->microphones();

    // The file is written anew: a link at its name goes, and what it points
    // to is never written.
    const QByteArray native = QFile::encodeName(m_captureFile);
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(native.constData());

    auto recorder = std::make_unique<Recorder>();
    const ClockRef clock = m_camera->clock();
    RecordingSettings settings;
    settings.fileName = m_captureFile;
    settings.frameRate = m_frameRate;
    settings.bufferSeconds = m_bufferSeconds;
    settings.jpegFrames = m_camera->tapsJpeg();
    settings.microphone = microphones.empty() ? nullptr : microphones.front().device.get();
    settings.clock = clock.get();
    settings.cameraBaseTime = m_camera->baseTime();
    QString error;
    if (!recorder->start(settings, &error)) {
        say(kStatusError, QStringLiteral("Cannot record into %1: %2").arg(fileText, error));
        return false;
    }
    connect(recorder.get(), &Recorder::finished, this, &GstCapture::onRecorderFinished);
    connect(recorder.get(), &Recorder::soundFailed, this, [this](const QString &reason) {
        say(kStatusWarning,
            QStringLiteral("The microphone stopped (%1): recording picture only.").arg(reason));
    });
    m_recorder = std::move(recorder);
    m_finishing = false;
    Recorder *rec = m_recorder.get();
    m_camera->setTap([rec](GstSample *s) { rec->pushFrame(s); }, [rec] { rec->finish(); });
    if (!m_previewDuringCapture)
        m_camera->setPreviewEnabled(false);

    m_whyNoSound.clear();
    if (!m_captureAudio) {
        m_whyNoSound = QStringLiteral("sound off");
        say(kStatusInfo, QStringLiteral("Recording picture only: sound is turned off."));
    } else if (microphones.empty()) {
        m_whyNoSound = QStringLiteral("no microphone");
        say(kStatusWarning, QStringLiteral("No microphone found: recording picture only."));
    } else if (!m_recorder->hasSound()) {
        m_whyNoSound = QStringLiteral("microphone failed");
        say(kStatusWarning, QStringLiteral("The microphone \"%1\" could not be opened (%2): "
                                           "recording picture only.")
                                .arg(microphones.front().name, m_recorder->soundProblem()));
    } else {
        reportProgress();
    }
    return true;
}

void GstCapture::finishRecording()
{
    if (!m_recorder)
        return;
    Recorder *rec = m_recorder.get();
    if (!m_finishing) {
        m_finishing = true;
        m_camera->clearTap();
        rec->finish();
    }
    if (!rec->isDone()) {
        QEventLoop wait;
        connect(rec, &Recorder::finished, &wait, &QEventLoop::quit);
        QTimer::singleShot(kFinishGraceMs + m_bufferSeconds * 1000, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!rec->isDone())
        rec->abandon();
}

void GstCapture::onRecorderFinished(bool complete, const QString &problem)
{
    if (!complete && m_brokenOff.isEmpty())
        m_brokenOff = problem;
    if (!complete && m_endProblem.isEmpty())
        m_endProblem = QStringLiteral("The capture file %1 could not be finished: %2")
                           .arg(QDir::toNativeSeparators(m_captureFile), problem);
    emit recordingEnded();
}

bool GstCapture::stop()
{
    if (!m_recorder)
        return false;
    const bool wasRunning = !m_finishing;
    finishRecording();
    return wasRunning;
}
