#pragma once

// The capture devices GStreamer's device monitor reports, and the picture
// formats a camera offers.

#include "GstHandles.h"

#include <QList>
#include <QSize>
#include <QString>
#include <initializer_list>
#include <optional>
#include <vector>

struct VideoFormat
{
    QSize size;
    int fpsNum = 0;
    int fpsDen = 1;
    bool jpeg = false;   // the camera sends JPEG pictures, decoded here

    [[nodiscard]] double fps() const { return fpsDen ? double(fpsNum) / fpsDen : 0.0; }
    [[nodiscard]] QString sizeText() const;
    [[nodiscard]] QString rateText() const;
    bool operator==(const VideoFormat &) const = default;
};

// Every size and rate the caps offer; ranges are offered as the common sizes
// and rates inside them. Sorted by size, then rate.
[[nodiscard]] QList<VideoFormat> formatsFromCaps(GstCaps *caps);

// The format to start with: the size nearest 640 x 480, at the lowest rate of
// at least 25 fps (or the fastest there is).
[[nodiscard]] std::optional<VideoFormat> preferredFormat(const QList<VideoFormat> &formats);

// What the camera's capsfilter asks for.
[[nodiscard]] CapsRef capsForFormat(const std::optional<VideoFormat> &format);

struct CaptureDevice
{
    QString name;
    DeviceRef device;
    QList<VideoFormat> formats;
    // Sound sources, from the device's properties: the sound server's default
    // source ("is-default"), and a sink's monitor (device.class "monitor"),
    // which hears what the speakers play.
    bool serverDefault = false;
    bool sinkMonitor = false;
};

[[nodiscard]] CaptureDevice describeDevice(DeviceRef device);

// The microphone to use unless one is chosen: the sound server's default
// source, or where none is marked so (ALSA), the first source; never a
// sink's monitor. -1 when there is none.
[[nodiscard]] int defaultMicrophone(const std::vector<CaptureDevice> &sources);

// The devices of that class a monitor knows, in its order; it probes them
// unless it runs.
[[nodiscard]] std::vector<CaptureDevice> monitoredDevices(GstDeviceMonitor *monitor,
                                                          const char *deviceClass);

// The devices of these classes that the monitor's running providers know,
// in the monitor's order, as gst_device_monitor_get_devices has them but
// without probing the providers that did not start.
[[nodiscard]] std::vector<CaptureDevice>
runningDevices(GstDeviceMonitor *monitor, std::initializer_list<const char *> deviceClasses);

// One probe of the monitor: cameras ("Video/Source") in the monitor's order,
// or microphones ("Audio/Source").
[[nodiscard]] std::vector<CaptureDevice> probeDevices(const char *deviceClass);
