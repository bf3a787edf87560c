// Cameras and microphones plugged in or out while the program runs:
// GstCapture's running device monitor.
#include "GstCapture.h"

#include "VideoView.h"

#include <algorithm>

namespace {

constexpr const char *kCameras = "Video/Source";
constexpr const char *kMicrophones = "Audio/Source";

// Settings kept per device number follow the devices after the one that left.
template <typename T> void forgetDevice(QMap<int32_t, T> &perDevice, int32_t index)
{
    QMap<int32_t, T> kept;
    for (auto it = perDevice.cbegin(); it != perDevice.cend(); ++it)
        if (it.key() != index)
            kept.insert(it.key() > index ? it.key() - 1 : it.key(), it.value());
    perDevice = kept;
}

} // namespace

bool GstCapture::watchDevices()
{
    m_monitor = DeviceMonitorRef::adopt(gst_device_monitor_new());
    gst_device_monitor_add_filter(m_monitor.get(), kCameras, nullptr);
    gst_device_monitor_add_filter(m_monitor.get(), kMicrophones, nullptr);
    if (!gst_device_monitor_start(m_monitor.get())) {
        m_monitor.reset();
        return false;
    }
    const BusRef bus = BusRef::adopt(gst_device_monitor_get_bus(m_monitor.get()));
    m_monitorWatch = std::make_unique<BusWatch>(
        bus.get(), [this](GstMessage *m) { onDeviceMessage(m); });
    // Only the running providers are asked, once; their messages keep both
    // lists from here on. Asking the monitor would probe each provider that
    // did not start, and GStreamer's PulseAudio probe leaks its attempt (a
    // 64 MiB memfd and a pipe) whenever the sound server cannot be reached.
    // What the monitor announced while starting is in these lists already.
    for (CaptureDevice &d : runningDevices(m_monitor.get(), {kCameras, kMicrophones}))
        (gst_device_has_classes(d.device.get(), kCameras) ? m_devices : m_microphones)
            .push_back(std::move(d));
    return true;
}

void GstCapture::stopWatchingDevices()
{
    m_monitorWatch.reset();
    if (m_monitor)
        gst_device_monitor_stop(m_monitor.get());
    m_monitor.reset();
}

void GstCapture::onDeviceMessage(GstMessage *message)
{
    GstDevice *device = nullptr;
    GstDevice *before = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_DEVICE_ADDED) {
        gst_message_parse_device_added(message, &device);
        deviceAdded(DeviceRef::adopt(device));
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_DEVICE_REMOVED) {
        gst_message_parse_device_removed(message, &device);
        deviceRemoved(DeviceRef::adopt(device));
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_DEVICE_CHANGED) {
        // A new object stands for the same device (PulseAudio's default
        // source moved); later messages name the new one.
        gst_message_parse_device_changed(message, &device, &before);
        const DeviceRef now = DeviceRef::adopt(device);
        const DeviceRef old = DeviceRef::adopt(before);
        for (CaptureDevice &d : m_devices)
            if (d.device == old)
                d.device = now;
        const auto microphone = std::find_if(m_microphones.begin(), m_microphones.end(),
                                             [&](const CaptureDevice &d) { return d.device == old; });
        if (microphone == m_microphones.end())
            return;
        // Its properties say which source is the server's default now.
        const bool chosen = microphone->name == m_chosenMicrophone;
        *microphone = describeDevice(now);
        if (chosen)
            m_chosenMicrophone = microphone->name;
        emit devicesChanged();
    }
}

void GstCapture::deviceAdded(DeviceRef device)
{
    if (device && gst_device_has_classes(device.get(), kMicrophones)) {
        if (std::none_of(m_microphones.begin(), m_microphones.end(),
                         [&](const CaptureDevice &d) { return d.device == device; })) {
            m_microphones.push_back(describeDevice(std::move(device)));
            emit devicesChanged();
        }
        return;
    }
    const auto known = std::find_if(m_devices.begin(), m_devices.end(),
                                    [&](const CaptureDevice &d) { return d.device == device; });
    if (!device || known != m_devices.end() || !gst_device_has_classes(device.get(), kCameras))
        return;
    m_devices.push_back(describeDevice(std::move(device)));
    // The first camera there is: as at start-up, it is current and live.
    if (m_devices.size() == 1 && !isCapturing()) {
        m_current = 0;
        if (m_view)
            startLive();
    }
    emit devicesChanged();
}

void GstCapture::deviceRemoved(const DeviceRef &device)
{
    const auto microphone = std::find_if(m_microphones.begin(), m_microphones.end(),
                                         [&](const CaptureDevice &d) { return d.device == device; });
    if (microphone != m_microphones.end()) {
        microphoneRemoved(microphone);
        return;
    }
    const auto gone = std::find_if(m_devices.begin(), m_devices.end(),
                                   [&](const CaptureDevice &d) { return d.device == device; });
    if (gone == m_devices.end())
        return;
    const auto index = int32_t(gone - m_devices.begin());
    const QString name = gone->name;
    const bool wasCurrent = index == m_current;
    if (wasCurrent && m_phase == Phase::Recording) {
        m_endProblem = QStringLiteral("The camera \"%1\" was unplugged.").arg(name);
        m_brokenOff = QStringLiteral("the camera \"%1\" was unplugged").arg(name);
        finishRecording();
    } else if (wasCurrent && m_phase == Phase::WaitingForPicture) {
        refuse(kStatusError,
               QStringLiteral("Cannot record: the camera \"%1\" was unplugged.").arg(name));
    }

    m_devices.erase(gone);
    forgetDevice(m_chosenFormats, index);
    forgetDevice(m_controls, index);
    if (m_pendingDevice && *m_pendingDevice == index)
        m_pendingDevice.reset();
    else if (m_pendingDevice && *m_pendingDevice > index)
        --*m_pendingDevice;
    if (index < m_current)
        --m_current;

    if (wasCurrent) {
        m_current = 0;
        if (isCapturing()) {
            m_restartLive = true;   // when the capture has let go of the camera
        } else {
            startLive();
            if (m_devices.empty() && m_view)
                m_view->clear();
        }
        say(kStatusWarning,
            m_devices.empty()
                ? QStringLiteral("The camera \"%1\" was unplugged; no camera is connected now.")
                      .arg(name)
                : QStringLiteral("The camera \"%1\" was unplugged; the picture now comes from "
                                 "\"%2\".")
                      .arg(name, m_devices.front().name));
    }
    emit devicesChanged();
}

// The choice stays by name: the microphone is current again when it comes back.
void GstCapture::microphoneRemoved(std::vector<CaptureDevice>::iterator gone)
{
    const QString name = gone->name;
    m_microphones.erase(gone);
    const int32_t now = currentMicrophone();
    if (name == m_chosenMicrophone && (now < 0 || m_microphones[size_t(now)].name != name))
        say(kStatusWarning,
            now < 0 ? QStringLiteral("The microphone \"%1\" was unplugged; no microphone is "
                                     "connected now.")
                          .arg(name)
                    : QStringLiteral("The microphone \"%1\" was unplugged; sound now comes from "
                                     "\"%2\".")
                          .arg(name, m_microphones[size_t(now)].name));
    emit devicesChanged();
}
