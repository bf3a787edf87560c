#include "CaptureDevices.h"

#include <QStringList>
#include <algorithm>
#include <array>

namespace {

constexpr std::array<QSize, 9> kCommonSizes = {
    QSize(160, 120), QSize(320, 240),  QSize(352, 288),  QSize(640, 480),  QSize(800, 600),
    QSize(1024, 768), QSize(1280, 720), QSize(1280, 960), QSize(1920, 1080)};
constexpr std::array<int, 8> kCommonRates = {5, 10, 15, 20, 25, 30, 50, 60};

QList<int> intValues(const GValue *v, bool isWidth)
{
    QList<int> out;
    if (!v)
        return out;
    if (G_VALUE_HOLDS_INT(v)) {
        out << g_value_get_int(v);
    } else if (GST_VALUE_HOLDS_LIST(v)) {
        for (guint i = 0; i < gst_value_list_get_size(v); ++i) {
            const GValue *item = gst_value_list_get_value(v, i);
            if (G_VALUE_HOLDS_INT(item))
                out << g_value_get_int(item);
        }
    } else if (GST_VALUE_HOLDS_INT_RANGE(v)) {
        const int lo = gst_value_get_int_range_min(v);
        const int hi = gst_value_get_int_range_max(v);
        for (const QSize &s : kCommonSizes) {
            const int x = isWidth ? s.width() : s.height();
            if (x >= lo && x <= hi && !out.contains(x))
                out << x;
        }
    }
    return out;
}

QList<std::pair<int, int>> rateValues(const GValue *v)
{
    QList<std::pair<int, int>> out;
    auto add = [&out](int n, int d) {
        if (n > 0 && d > 0)
            out << std::pair{n, d};
    };
    if (!v) {
        add(25, 1);
    } else if (GST_VALUE_HOLDS_FRACTION(v)) {
        add(gst_value_get_fraction_numerator(v), gst_value_get_fraction_denominator(v));
    } else if (GST_VALUE_HOLDS_LIST(v)) {
        for (guint i = 0; i < gst_value_list_get_size(v); ++i) {
            const GValue *item = gst_value_list_get_value(v, i);
            if (GST_VALUE_HOLDS_FRACTION(item))
                add(gst_value_get_fraction_numerator(item), gst_value_get_fraction_denominator(item));
        }
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(v)) {
        const GValue *lo = gst_value_get_fraction_range_min(v);
        const GValue *hi = gst_value_get_fraction_range_max(v);
        const double min = double(gst_value_get_fraction_numerator(lo))
                           / std::max(1, gst_value_get_fraction_denominator(lo));
        const double max = double(gst_value_get_fraction_numerator(hi))
                           / std::max(1, gst_value_get_fraction_denominator(hi));
        for (int r : kCommonRates)
            if (r >= min && r <= max)
                add(r, 1);
    }
    return out;
}

} // namespace

QString VideoFormat::sizeText() const
{
    return QStringLiteral("%1 × %2").arg(size.width()).arg(size.height());
}

QString VideoFormat::rateText() const
{
    if (fpsDen == 1)
        return QStringLiteral("%1 frames per second").arg(fpsNum);
    return QStringLiteral("%1 frames per second").arg(fps(), 0, 'f', 2);
}

QList<VideoFormat> formatsFromCaps(GstCaps *caps)
{
    QList<VideoFormat> out;
    if (!caps || gst_caps_is_any(caps))
        return out;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure *s = gst_caps_get_structure(caps, i);
        const bool raw = gst_structure_has_name(s, "video/x-raw");
        const bool jpeg = gst_structure_has_name(s, "image/jpeg");
        if (!raw && !jpeg)
            continue;
        const QList<int> widths = intValues(gst_structure_get_value(s, "width"), true);
        const QList<int> heights = intValues(gst_structure_get_value(s, "height"), false);
        const auto rates = rateValues(gst_structure_get_value(s, "framerate"));
        const bool ranged = GST_VALUE_HOLDS_INT_RANGE(gst_structure_get_value(s, "width"));
        for (int w : widths) {
            for (int h : heights) {
                // A range of widths and heights means the common sizes, not
                // every pairing of their sides.
                if (ranged && !std::count(kCommonSizes.begin(), kCommonSizes.end(), QSize(w, h)))
                    continue;
                for (const auto &[n, d] : rates) {
                    VideoFormat f{QSize(w, h), n, d, jpeg};
                    VideoFormat rawTwin = f;
                    rawTwin.jpeg = false;
                    if (jpeg && out.contains(rawTwin))
                        continue;
                    if (!jpeg) {
                        VideoFormat jpegTwin = f;
                        jpegTwin.jpeg = true;
                        out.removeAll(jpegTwin);
                    }
                    if (!out.contains(f))
                        out << f;
                }
            }
        }
    }
    std::sort(out.begin(), out.end(), [](const VideoFormat &a, const VideoFormat &b) {
        const qint64 areaA = qint64(a.size.width()) * a.size.height();
        const qint64 areaB = qint64(b.size.width()) * b.size.height();
        if (areaA != areaB)
            return areaA < areaB;
        if (a.size.width() != b.size.width())
            return a.size.width() < b.size.width();
        return a.fps() < b.fps();
    });
    return out;
}

std::optional<VideoFormat> preferredFormat(const QList<VideoFormat> &formats)
{
    if (formats.isEmpty())
        return std::nullopt;
    constexpr qint64 kWanted = 640 * 480;
    auto distance = [](const VideoFormat &f) {
        return std::abs(qint64(f.size.width()) * f.size.height() - kWanted);
    };
    const auto nearest = std::min_element(formats.begin(), formats.end(),
                                          [&](const VideoFormat &a, const VideoFormat &b) {
                                              return distance(a) < distance(b);
                                          });
    std::optional<VideoFormat> best;
    for (const VideoFormat &f : formats) {
        if (f.size != nearest->size || f.jpeg != nearest->jpeg)
            continue;
        if (!best) {
            best = f;
            continue;
        }
        const bool fOk = f.fps() >= 25.0 - 1e-6;
        const bool bestOk = best->fps() >= 25.0 - 1e-6;
        if ((fOk && !bestOk) || (fOk && bestOk && f.fps() < best->fps())
            || (!fOk && !bestOk && f.fps() > best->fps()))
            best = f;
    }
    return best;
}

CapsRef capsForFormat(const std::optional<VideoFormat> &format)
{
    if (!format)
        return CapsRef::adopt(gst_caps_new_empty_simple("video/x-raw"));
    return CapsRef::adopt(gst_caps_new_simple(
        format->jpeg ? "image/jpeg" : "video/x-raw", "width", G_TYPE_INT, format->size.width(),
        "height", G_TYPE_INT, format->size.height(), "framerate", GST_TYPE_FRACTION,
        format->fpsNum, format->fpsDen, nullptr));
}

CaptureDevice describeDevice(DeviceRef device)
{
    CaptureDevice d;
    d.device = std::move(device);
    d.name = GCharPtr(gst_device_get_display_name(d.device.get())).toQString();
    const CapsRef caps = CapsRef::adopt(gst_device_get_caps(d.device.get()));
    d.formats = formatsFromCaps(caps.get());
    if (GstStructure *properties = gst_device_get_properties(d.device.get())) {
        gboolean isDefault = FALSE;
        d.serverDefault
            = gst_structure_get_boolean(properties, "is-default", &isDefault) && isDefault;
        d.sinkMonitor
            = g_strcmp0(gst_structure_get_string(properties, "device.class"), "monitor") == 0;
        gst_structure_free(properties);
    }
    return d;
}

int defaultMicrophone(const std::vector<CaptureDevice> &sources)
{
    // A server without a microphone makes a monitor its default source.
    int first = -1;
    for (int i = 0; i < int(sources.size()); ++i) {
        if (sources[size_t(i)].sinkMonitor)
            continue;
        if (sources[size_t(i)].serverDefault)
            return i;
        if (first < 0)
            first = i;
    }
    return first;
}

std::vector<CaptureDevice> monitoredDevices(GstDeviceMonitor *monitor, const char *deviceClass)
{
    std::vector<CaptureDevice> out;
    GList *devices = gst_device_monitor_get_devices(monitor);
    // The list's references pass to the handles.
    for (GList *item = devices; item; item = item->next) {
        DeviceRef device = DeviceRef::adopt(GST_DEVICE(item->data));
        if (gst_device_has_classes(device.get(), deviceClass))
            out.push_back(describeDevice(std::move(device)));
    }
    g_list_free(devices);
    return out;
}

std::vector<CaptureDevice> runningDevices(GstDeviceMonitor *monitor,
                                          std::initializer_list<const char *> deviceClasses)
{
    using ProviderRef = gsthandle::Object<GstDeviceProvider>;
    // Providers are one per factory: the monitor's are these. A running one
    // may stand in for another (PulseAudio's for ALSA's), which is left out.
    std::vector<ProviderRef> running;
    QStringList hidden;
    gchar **names = gst_device_monitor_get_providers(monitor);
    for (gchar **name = names; name && *name; ++name) {
        ProviderRef provider = ProviderRef::adopt(gst_device_provider_factory_get_by_name(*name));
        if (!provider || !gst_device_provider_is_started(provider.get()))
            continue;
        gchar **hides = gst_device_provider_get_hidden_providers(provider.get());
        for (gchar **h = hides; h && *h; ++h)
            hidden << QString::fromUtf8(*h);
        g_strfreev(hides);
        running.push_back(std::move(provider));
    }
    g_strfreev(names);

    std::vector<CaptureDevice> out;
    for (const ProviderRef &provider : running) {
        auto *factory = GST_PLUGIN_FEATURE(gst_device_provider_get_factory(provider.get()));
        if (hidden.contains(QString::fromUtf8(gst_plugin_feature_get_name(factory))))
            continue;
        GList *devices = gst_device_provider_get_devices(provider.get());
        for (GList *item = devices; item; item = item->next) {
            DeviceRef device = DeviceRef::adopt(GST_DEVICE(item->data));
            if (std::any_of(deviceClasses.begin(), deviceClasses.end(), [&](const char *c) {
                    return gst_device_has_classes(device.get(), c);
                }))
                out.push_back(describeDevice(std::move(device)));
        }
        g_list_free(devices);
    }
    return out;
}

std::vector<CaptureDevice> probeDevices(const char *deviceClass)
{
    const DeviceMonitorRef monitor = DeviceMonitorRef::adopt(gst_device_monitor_new());
    gst_device_monitor_add_filter(monitor.get(), deviceClass, nullptr);
    return monitoredDevices(monitor.get(), deviceClass);
}
