// Recording: startCapture() and stop() of GstCapture, driven by timers and
// the recorder's signals.
#include "GstCapture.h"

#include "Recorder.h"
#include "VideoView.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kProgressIntervalMs = 500;
constexpr int kPicturePollMs = 20;
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

// The capture file's name is taken by the new recording: a link there goes,
// and what it points to is never written.
void clearCaptureFile(const QString &path, bool evenAFile)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0
        && (S_ISLNK(st.st_mode) || (evenAFile && S_ISREG(st.st_mode))))
        ::unlink(native.constData());
}

} // namespace

void GstCapture::setUpRecordingTimers()
{
    m_pictureWait.setInterval(kPicturePollMs);
    connect(&m_pictureWait, &QTimer::timeout, this, &GstCapture::checkFirstPicture);
    m_progress.setInterval(kProgressIntervalMs);
    connect(&m_progress, &QTimer::timeout, this, &GstCapture::reportProgress);
    m_limit.setSingleShot(true);
    m_limit.setTimerType(Qt::PreciseTimer);
    connect(&m_limit, &QTimer::timeout, this, &GstCapture::finishRecording);
    m_grace.setSingleShot(true);
    connect(&m_grace, &QTimer::timeout, this, [this] {
        if (m_recorder && !m_recorder->isDone())
            m_recorder->abandon();
    });
}

bool GstCapture::isCapturing() const
{
    return m_phase != Phase::Idle;
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

// What the clip lacks of the sound that was asked for.
QString GstCapture::missingSound() const
{
    if (!m_captureAudio)
        return QString();
    if (m_soundSource.isEmpty())
        return QStringLiteral("picture only: no microphone was found");
    if (!m_recorder->hasSound())
        return QStringLiteral("picture only: the microphone \"%1\" could not be opened")
            .arg(m_soundSource);
    if (!m_recorder->soundProblem().isEmpty())
        return QStringLiteral("the microphone \"%1\" stopped during the recording")
            .arg(m_soundSource);
    const std::optional<double> loudest = m_recorder->loudestSound();
    if (loudest && *loudest < kSilentBelowDb)
        return QStringLiteral("no sound was heard from \"%1\"").arg(m_soundSource);
    return QString();
}

void GstCapture::reportProgress()
{
    if (m_phase != Phase::Recording)
        return;
    QString text = progressText(QStringLiteral("Recording"));
    const QString sound = soundText();
    if (!sound.isEmpty())
        text += QStringLiteral(", ") + sound;
    say(kStatusInfo, text);
}

QString GstCapture::recordingProblem() const
{
    return m_brokenOff;
}

void GstCapture::startCapture()
{
    if (m_phase != Phase::Idle) {
        // This call gets its own end; the running capture's follows later.
        say(kStatusWarning, QStringLiteral("A recording is already running."));
        QMetaObject::invokeMethod(this, [this] { emit captureEnded(false); },
                                  Qt::QueuedConnection);
        return;
    }
    m_phase = Phase::Starting;
    m_stopAsked = false;
    m_endProblem.clear();
    m_brokenOff.clear();
    CaptureDevice *device = currentDeviceEntry();
    if (!device) {
        refuse(kStatusError, QStringLiteral("Cannot record: no camera is connected."));
        return;
    }
    if (m_captureFile.isEmpty()) {
        refuse(kStatusError, QStringLiteral("Cannot record: no capture file has been named."));
        return;
    }
    const QFileInfo folder(QFileInfo(m_captureFile).absolutePath());
    if (!folder.isDir()) {
        refuse(kStatusError, QStringLiteral("Cannot record: the folder of the capture file %1 does "
                                            "not exist.")
                                 .arg(QDir::toNativeSeparators(m_captureFile)));
        return;
    }
    if (m_confirm) {
        const DeviceRef chosen = device->device;
        const QString name = device->name;
        const QPointer<GstCapture> alive(this);
        QWidget *parent = m_view ? m_view->window() : nullptr;
        const bool yes = QMessageBox::question(parent, QStringLiteral("Mirabo"),
                                               QStringLiteral("Start recording from \"%1\" now?")
                                                   .arg(name))
                         == QMessageBox::Yes;
        if (!alive)
            return;
        if (!yes || m_stopAsked) {
            refuse(kStatusInfo, QStringLiteral("Recording cancelled."));
            return;
        }
        // The question let hot-plugging run.
        device = currentDeviceEntry();
        if (!device || device->device != chosen) {
            refuse(kStatusError, QStringLiteral("Cannot record: the camera \"%1\" was unplugged.")
                                     .arg(name));
            return;
        }
    }

    m_deviceName = device->name;
    if (!isLive()) {
        QString error;
        if (!m_camera->start(device->device.get(), currentFormat(),
                             m_view ? m_view->size() : QSize(), &error)) {
            refuse(kStatusError, QStringLiteral("Cannot record: the camera \"%1\" could not be "
                                                "started (%2).")
                                     .arg(m_deviceName, error));
            return;
        }
        applyStoredControls();
    }
    // A camera can start and still fail while it settles on a format. The
    // first look comes from the event loop even when pictures flow already,
    // so that a stop() right after this call always finds the capture here.
    m_phase = Phase::WaitingForPicture;
    m_pictureDeadline.setRemainingTime(kFirstFrameWaitMs);
    m_pictureWait.start();
}

void GstCapture::checkFirstPicture()
{
    if (m_phase != Phase::WaitingForPicture)
        return;
    const bool pictureCame = isLive() && m_camera->framesSeen() > 0;
    if (!pictureCame && isLive() && !m_pictureDeadline.hasExpired())
        return;
    m_pictureWait.stop();
    if (!pictureCame) {
        refuse(kStatusError, QStringLiteral("Cannot record: the camera \"%1\" sends no picture.")
                                 .arg(m_deviceName));
        return;
    }
    beginRecording();
}

void GstCapture::beginRecording()
{
    const int32_t current = m_captureAudio ? currentMicrophone() : -1;
    const CaptureDevice *microphone = current < 0 ? nullptr : &m_microphones[size_t(current)];
    m_soundSource = microphone ? microphone->name : QString();
    m_followsServerDefault = microphone && microphone->serverDefault
                             && microphone->name != m_chosenMicrophone;
    m_notice.clear();

    clearCaptureFile(m_captureFile, false);
    auto recorder = std::make_unique<Recorder>();
    const ClockRef clock = m_camera->clock();
    RecordingSettings settings;
    settings.fileName = m_captureFile;
    settings.frameRate = m_frameRate;
    settings.bufferSeconds = m_bufferSeconds;
    settings.jpegFrames = m_camera->tapsJpeg();
    settings.microphone = microphone ? microphone->device.get() : nullptr;
    settings.serverDefault = m_followsServerDefault;
    settings.clock = clock.get();
    settings.cameraBaseTime = m_camera->baseTime();
    QString error;
    if (!recorder->start(settings, &error)) {
        refuse(kStatusError, QStringLiteral("Cannot record into %1: %2")
                                 .arg(QDir::toNativeSeparators(m_captureFile), error));
        return;
    }
    connect(recorder.get(), &Recorder::finished, this, &GstCapture::onRecorderFinished);
    connect(recorder.get(), &Recorder::soundFailed, this, [this](const QString &reason) {
        say(kStatusWarning,
            QStringLiteral("The microphone stopped (%1): recording picture only.").arg(reason));
    });
    m_recorder = std::move(recorder);
    m_phase = Phase::Recording;
    Recorder *rec = m_recorder.get();
    m_camera->setTap([rec](GstSample *s) { rec->pushFrame(s); }, [rec] { rec->finish(); });
    if (!m_previewDuringCapture)
        m_camera->setPreviewEnabled(false);

    // Nobody is meant to stop a recording that does not yield: its limit
    // applies then too.
    if (m_timeLimit || !m_yield)
        m_limit.start(m_timeLimitSeconds * 1000);
    m_progress.start();
    m_whyNoSound.clear();
    if (!m_captureAudio) {
        m_whyNoSound = QStringLiteral("sound off");
        say(kStatusInfo, QStringLiteral("Recording picture only: sound is turned off."));
    } else if (!microphone) {
        m_whyNoSound = QStringLiteral("no microphone");
        say(kStatusWarning, QStringLiteral("No microphone found: recording picture only."));
    } else if (!m_recorder->hasSound()) {
        m_whyNoSound = QStringLiteral("microphone failed");
        say(kStatusWarning, QStringLiteral("The microphone \"%1\" could not be opened (%2): "
                                           "recording picture only.")
                                .arg(m_soundSource, m_recorder->soundProblem()));
    } else {
        reportProgress();
    }
}

void GstCapture::finishRecording()
{
    if (m_phase != Phase::Recording)
        return;
    m_phase = Phase::Finishing;
    m_progress.stop();
    m_limit.stop();
    m_camera->clearTap();
    m_recorder->finish();
    m_grace.start(kFinishGraceMs + m_bufferSeconds * 1000);
}

void GstCapture::onRecorderFinished(bool complete, const QString &problem)
{
    if (m_phase != Phase::Recording && m_phase != Phase::Finishing)
        return;
    if (!complete && m_brokenOff.isEmpty())
        m_brokenOff = problem;
    if (!complete && m_endProblem.isEmpty())
        m_endProblem = QStringLiteral("The capture file %1 could not be finished: %2")
                           .arg(QDir::toNativeSeparators(m_captureFile), problem);
    // A write error ends the recorder before anyone asked it to.
    m_camera->clearTap();
    endLater(true);
}

void GstCapture::refuse(int32_t code, const QString &text)
{
    say(code, text);
    endLater(false);
}

void GstCapture::endLater(bool started)
{
    m_phase = Phase::Ending;
    m_pictureWait.stop();
    m_progress.stop();
    m_limit.stop();
    m_grace.stop();
    // Also out of the recorder's own bus handler, which may have got here.
    QMetaObject::invokeMethod(this, [this, started] { endCapture(started); },
                              Qt::QueuedConnection);
}

void GstCapture::endCapture(bool started)
{
    // The device monitor has heard of the server's default by now.
    if (const int32_t now = defaultMicrophone(m_microphones); m_followsServerDefault && now >= 0)
        m_soundSource = m_microphones[size_t(now)].name;
    const QString missing = started && m_recorder ? missingSound() : QString();
    if (!missing.isEmpty())
        m_notice = QStringLiteral("Recorded %1 – %2").arg(clockText(m_recorder->seconds()), missing);
    if (started && !m_endProblem.isEmpty())
        say(kStatusError, m_endProblem);
    else if (started && !missing.isEmpty())
        say(kStatusWarning, progressText(QStringLiteral("Recorded")) + QStringLiteral(", ")
                                + missing);
    else if (started)
        say(kStatusInfo, progressText(QStringLiteral("Recorded"))
                             + (m_recorder->hasSound() ? QString() : QStringLiteral(", picture only")));
    m_recorder.reset();
    m_camera->setPreviewEnabled(true);
    m_phase = Phase::Idle;

    const int32_t next = m_pendingDevice.value_or(m_current);
    const bool restart = next != m_current || std::exchange(m_restartLive, false);
    m_pendingDevice.reset();
    const bool otherDevice = next != m_current;
    m_current = next;
    if (!m_view)
        stopLive();   // the camera ran for this capture alone
    else if (restart)
        startLive();
    if (otherDevice)
        emit devicesChanged();
    emit captureEnded(started);
}

bool GstCapture::stop()
{
    switch (m_phase) {
    case Phase::Starting:
        return !std::exchange(m_stopAsked, true);
    case Phase::WaitingForPicture:
        m_notice.clear();
        m_brokenOff = QStringLiteral("it was stopped before the camera sent a picture");
        m_endProblem = QStringLiteral("The recording was stopped before the camera \"%1\" sent a "
                                      "picture; nothing was recorded.")
                           .arg(m_deviceName);
        // What an earlier recording left there is not this one's clip.
        clearCaptureFile(m_captureFile, true);
        endLater(true);
        return true;
    case Phase::Recording:
        finishRecording();
        return true;
    default:
        return false;
    }
}
