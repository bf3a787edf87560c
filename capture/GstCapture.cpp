#include "GstCapture.h"

#include "CaptureDialogs.h"
#include "Recorder.h"
#include "VideoView.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <stdexcept>

#include <sys/statvfs.h>

namespace {

constexpr int kMaxFrameRate = 60;
constexpr int kMaxBufferSeconds = 60;

} // namespace

GstCapture::GstCapture(QObject *parent)
    : CaptureComponent(parent)
{
    gstsupport::ensureInitialised();
    m_camera = new CameraPipeline(&m_frames, this);
    connect(m_camera, &CameraPipeline::failed, this, &GstCapture::onCameraFailed);
    setUpRecordingTimers();
}

GstCapture::~GstCapture()
{
    stopWatchingDevices();
    // Nothing waits here: a recording still running is abandoned.
    m_camera->clearTap();
    m_recorder.reset();
    m_camera->stop();
}

void GstCapture::say(int32_t code, const QString &text)
{
    emit statusText(code, text);
}

// ---- Devices ----------------------------------------------------------------

void GstCapture::ensureDevices()
{
    if (m_devicesProbed)
        return;
    m_devicesProbed = true;
    if (!watchDevices()) {
        m_devices = probeDevices("Video/Source");
        m_microphones = probeDevices("Audio/Source");
    }
}

int32_t GstCapture::currentDevice() const
{
    return m_devices.empty() ? -1 : m_current;
}

int32_t GstCapture::deviceCount()
{
    ensureDevices();
    return int32_t(m_devices.size());
}

QString GstCapture::deviceName(int32_t index)
{
    ensureDevices();
    if (index < 0 || index >= int32_t(m_devices.size()))
        throw std::out_of_range("There is no capture device with that number.");
    return m_devices[size_t(index)].name;
}

CaptureDevice *GstCapture::currentDeviceEntry()
{
    ensureDevices();
    if (m_current < 0 || m_current >= int32_t(m_devices.size()))
        return nullptr;
    return &m_devices[size_t(m_current)];
}

void GstCapture::setCurrentDevice(int32_t index)
{
    ensureDevices();
    if (m_devices.empty())
        throw std::out_of_range("No capture device is connected.");
    if (index < 0 || index >= int32_t(m_devices.size()))
        throw std::out_of_range("There is no capture device with that number.");
    if (isCapturing()) {
        // A capture keeps its camera; the choice applies when it ends.
        m_pendingDevice = index;
        return;
    }
    if (index == m_current && isLive())
        return;
    m_current = index;
    startLive();
    emit devicesChanged();
}

int32_t GstCapture::microphoneCount()
{
    ensureDevices();
    return int32_t(m_microphones.size());
}

QString GstCapture::microphoneName(int32_t index)
{
    ensureDevices();
    if (index < 0 || index >= int32_t(m_microphones.size()))
        throw std::out_of_range("There is no microphone with that number.");
    return m_microphones[size_t(index)].name;
}

int32_t GstCapture::currentMicrophone()
{
    ensureDevices();
    const auto chosen = std::find_if(m_microphones.begin(), m_microphones.end(),
                                     [&](const auto &d) { return d.name == m_chosenMicrophone; });
    if (!m_chosenMicrophone.isEmpty() && chosen != m_microphones.end())
        return int32_t(chosen - m_microphones.begin());
    return defaultMicrophone(m_microphones);
}

void GstCapture::setCurrentMicrophone(int32_t index)
{
    const QString name = microphoneName(index);
    const int32_t before = currentMicrophone();
    m_chosenMicrophone = name;
    if (currentMicrophone() != before)
        emit devicesChanged();
}

std::optional<VideoFormat> GstCapture::currentFormat()
{
    const CaptureDevice *device = currentDeviceEntry();
    if (!device)
        return std::nullopt;
    if (m_chosenFormats.contains(m_current))
        return m_chosenFormats.value(m_current);
    return preferredFormat(device->formats);
}

void GstCapture::setReencodeCameraJpeg(bool on)
{
    m_camera->setDecodeBeforeTap(on);
    // A capture keeps its pipeline to the end.
    if (isCapturing())
        m_restartLive = true;
    else if (isLive())
        startLive();
}

// ---- Live picture -------------------------------------------------------------

void GstCapture::setView(VideoView *view)
{
    if (view == m_view)
        return;
    if (m_view)
        m_view->removeEventFilter(this);
    m_view = view;
    m_frames.setView(view);
    if (!view) {
        if (!isCapturing())
            stopLive();
        return;
    }
    view->installEventFilter(this);
    connect(view, &QObject::destroyed, this, [this] {
        m_frames.setView(nullptr);
        if (!isCapturing())
            stopLive();
    });
    applyDisplayOptions();
    if (isLive())
        m_camera->setViewSize(view->size());
    else
        startLive();
}

bool GstCapture::eventFilter(QObject *watched, QEvent *event)
{
    // The type first: the view's own destruction passes through here too,
    // when it is no longer a VideoView to compare with.
    if (event->type() == QEvent::Resize && watched == m_view && isLive())
        m_camera->setViewSize(m_view->size());
    return CaptureComponent::eventFilter(watched, event);
}

bool GstCapture::isLive() const
{
    return m_camera->isRunning();
}

void GstCapture::startLive()
{
    stopLive();
    CaptureDevice *device = currentDeviceEntry();
    if (!m_view || !device)
        return;
    QString error;
    if (!m_camera->start(device->device.get(), currentFormat(), m_view->size(), &error)) {
        // Queued: the window may still be connecting to us (setView runs in
        // its constructor).
        const QString text = QStringLiteral("The camera \"%1\" could not be started: %2")
                                 .arg(device->name, error);
        QMetaObject::invokeMethod(this, [this, text] { say(kStatusError, text); },
                                  Qt::QueuedConnection);
        return;
    }
    applyStoredControls();
}

void GstCapture::stopLive()
{
    m_camera->stop();
    m_frames.drop();
}

void GstCapture::onCameraFailed(const QString &reason)
{
    const CaptureDevice *device = currentDeviceEntry();
    const QString name = device ? device->name : QStringLiteral("camera");
    if (m_phase == Phase::Recording) {
        m_endProblem = QStringLiteral("The camera \"%1\" stopped working (%2); the recording so "
                                      "far was kept.")
                           .arg(name, reason);
        m_brokenOff = QStringLiteral("the camera \"%1\" stopped working (%2)").arg(name, reason);
        finishRecording();
        return;
    }
    if (m_camera->framesSeen() == 0)
        say(kStatusError, QStringLiteral("The camera \"%1\" could not be started: %2").arg(name, reason));
    else
        say(kStatusError, QStringLiteral("The camera \"%1\" stopped working: %2").arg(name, reason));
    checkFirstPicture();
}

void GstCapture::applyDisplayOptions()
{
    if (!m_view)
        return;
    m_view->setStretched(m_stretched);
    m_view->setMirrored(m_mirrored);
}

void GstCapture::applyStoredControls()
{
    GstColorBalance *balance = m_camera->colorBalance();
    const auto stored = m_controls.value(m_current);
    if (!balance || stored.isEmpty())
        return;
    for (const GList *item = gst_color_balance_list_channels(balance); item; item = item->next) {
        auto *channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        const QString label = QString::fromUtf8(channel->label);
        if (stored.contains(label))
            gst_color_balance_set_value(balance, channel, stored.value(label));
    }
}

// ---- Settings -------------------------------------------------------------------

void GstCapture::setCaptureFileName(const QString &path)
{
    m_captureFile = path;
}

void GstCapture::setTimeLimitEnabled(bool on)
{
    m_timeLimit = on;
}

void GstCapture::setTimeLimitSeconds(int seconds)
{
    if (seconds < 1)
        throw std::invalid_argument("The time limit must be at least one second.");
    m_timeLimitSeconds = seconds;
}

void GstCapture::setCaptureAudio(bool on)
{
    m_captureAudio = on;
}

void GstCapture::setYieldDuringCapture(bool on)
{
    m_yield = on;
}

void GstCapture::setPreviewDuringCapture(bool on)
{
    m_previewDuringCapture = on;
}

void GstCapture::setCaptureFrameRate(int32_t framesPerSecond)
{
    if (framesPerSecond < 1 || framesPerSecond > kMaxFrameRate)
        throw std::invalid_argument("The capture frame rate must be between 1 and 60 frames per "
                                    "second.");
    m_frameRate = framesPerSecond;
}

void GstCapture::setConfirmBeforeCapture(bool on)
{
    m_confirm = on;
}

void GstCapture::setBufferSeconds(int32_t seconds)
{
    if (seconds < 1 || seconds > kMaxBufferSeconds)
        throw std::invalid_argument("The capture buffer must hold between 1 and 60 seconds.");
    m_bufferSeconds = seconds;
}

void GstCapture::prepareCapture(int32_t &value)
{
    value = -1;
    if (m_captureFile.isEmpty()) {
        say(kStatusError, QStringLiteral("No capture file has been named."));
        return;
    }
    const QFileInfo file(m_captureFile);
    const QFileInfo folder(file.absolutePath());
    if (!folder.isDir() || !folder.isWritable() || (file.exists() && !file.isWritable())) {
        say(kStatusError, QStringLiteral("The capture file %1 cannot be written there.")
                              .arg(QDir::toNativeSeparators(m_captureFile)));
        return;
    }
    // statvfs rather than QStorageInfo, which goes by the mount table and
    // finds nothing where that table does not match (a chroot, a container).
    struct statvfs fs {};
    const qint64 freeMb
        = ::statvfs(QFile::encodeName(folder.absoluteFilePath()).constData(), &fs) == 0
              ? qint64(fs.f_bavail) * qint64(fs.f_frsize) / (1024 * 1024)
              : 0;
    value = int32_t(std::min<qint64>(freeMb, std::numeric_limits<int32_t>::max()));
}

// ---- Dialogs ----------------------------------------------------------------

bool GstCapture::sourceDialogAvailable()
{
    GstColorBalance *balance = isLive() ? m_camera->colorBalance() : nullptr;
    return balance && gst_color_balance_list_channels(balance) != nullptr;
}

bool GstCapture::formatDialogAvailable()
{
    const CaptureDevice *device = currentDeviceEntry();
    return device && device->formats.size() > 1;
}

bool GstCapture::displayDialogAvailable()
{
    return currentDeviceEntry() && m_view;
}

void GstCapture::showSourceDialog()
{
    if (!sourceDialogAvailable())
        throw std::runtime_error("This camera has no picture controls.");
    SourceDialog dialog(ColorBalanceRef::retain(m_camera->colorBalance()),
                        m_view ? m_view->window() : nullptr);
    if (dialog.exec() == QDialog::Accepted)
        m_controls[m_current] = dialog.values();
}

void GstCapture::showFormatDialog()
{
    if (!formatDialogAvailable())
        throw std::runtime_error("This camera offers no formats to choose from.");
    const CaptureDevice *device = currentDeviceEntry();
    const std::optional<VideoFormat> before = currentFormat();
    FormatDialog dialog(device->formats, before, m_view ? m_view->window() : nullptr);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const std::optional<VideoFormat> chosen = dialog.chosen();
    if (!chosen || chosen == before)
        return;
    m_chosenFormats[m_current] = *chosen;
    if (isCapturing())
        m_restartLive = true;   // a capture keeps its format to the end
    else if (m_view)
        startLive();
}

void GstCapture::showDisplayDialog()
{
    if (!displayDialogAvailable())
        throw std::runtime_error("There is no live picture to set up.");
    DisplayDialog dialog(!m_stretched, m_mirrored, m_view->window());
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_stretched = !dialog.keepProportion();
    m_mirrored = dialog.mirrored();
    applyDisplayOptions();
}
