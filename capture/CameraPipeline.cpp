#include "CameraPipeline.h"

#include "JpegPreview.h"

using gstsupport::firstError;

namespace {

constexpr int kPreviewRate = 25;
const QSize kFallbackPreviewSize(320, 240);

} // namespace

CameraPipeline::CameraPipeline(FrameMailbox *frames, QObject *parent)
    : QObject(parent)
    , m_frames(frames)
{
}

CameraPipeline::~CameraPipeline()
{
    stop();
}

bool CameraPipeline::start(GstDevice *device, const std::optional<VideoFormat> &format,
                           QSize viewSize, QString *error)
{
    stop();
    m_format = format;
    m_viewSize = viewSize;
    m_framesSeen = 0;

    auto fail = [&](const QString &text) {
        if (error)
            *error = text;
        stop();
        return false;
    };

    ElementRef pipeline = makeElement("pipeline", "camera");
    ElementRef camera = makeDeviceElement(device, "camera");
    if (!camera)
        return fail(QStringLiteral("the device offers no source element"));
    ElementRef formatFilter = makeElement("capsfilter", "format");
    const bool jpeg = format && format->jpeg;
    // A JPEG camera's pictures are decoded for the view by decodeJpegPreview,
    // after the rate limit and at about the view's size, unless the tap is
    // to get raw pictures.
    const bool decodeBeforeTap = jpeg && m_decodeBeforeTap;
    const bool previewJpeg = jpeg && !decodeBeforeTap;
    ElementRef decoder = decodeBeforeTap ? makeElement("jpegdec", "decoder") : ElementRef();
    ElementRef tee = makeElement("tee", "split");
    ElementRef queue = makeElement("queue", "preview-queue");
    ElementRef valve = makeElement("valve", "preview-valve");
    ElementRef rate = makeElement("videorate", "preview-rate");
    ElementRef scale = previewJpeg ? ElementRef() : makeElement("videoscale");
    ElementRef convert = previewJpeg ? ElementRef() : makeElement("videoconvert");
    ElementRef previewCaps = previewJpeg ? ElementRef() : makeElement("capsfilter", "preview-caps");
    ElementRef previewSink = makeElement("appsink", "preview");
    ElementRef tap = makeElement("appsink", "tap");
    for (const ElementRef *e : {&formatFilter, &tee, &queue, &valve, &rate, &previewSink, &tap}) {
        if (!*e)
            return fail(QStringLiteral("a GStreamer element is missing (plugins base, good)"));
    }
    if (!previewJpeg && (!scale || !convert || !previewCaps))
        return fail(QStringLiteral("a GStreamer element is missing (plugins base, good)"));
    if (decodeBeforeTap && !decoder)
        return fail(QStringLiteral("the JPEG decoder is missing (GStreamer good plugins)"));

    const CapsRef caps = capsForFormat(format);
    g_object_set(formatFilter.get(), "caps", caps.get(), nullptr);
    // The picture is late, never the camera: the preview keeps one frame.
    g_object_set(queue.get(), "leaky", 2, "max-size-buffers", 1u, "max-size-bytes", 0u,
                 "max-size-time", guint64(0), nullptr);
    g_object_set(rate.get(), "max-rate", kPreviewRate, "drop-only", TRUE, nullptr);
    for (GstElement *sink : {previewSink.get(), tap.get()})
        g_object_set(sink, "sync", FALSE, "enable-last-sample", FALSE, "qos", FALSE, nullptr);
    g_object_set(previewSink.get(), "max-buffers", 1u, "drop", TRUE, nullptr);

    GstBin *bin = GST_BIN(pipeline.get());
    gst_bin_add_many(bin, camera.get(), formatFilter.get(), tee.get(), queue.get(), valve.get(),
                     rate.get(), previewSink.get(), tap.get(), nullptr);
    bool linked = gst_element_link(camera.get(), formatFilter.get());
    if (decodeBeforeTap) {
        gst_bin_add(bin, decoder.get());
        linked = linked && gst_element_link_many(formatFilter.get(), decoder.get(), tee.get(), nullptr);
    } else {
        linked = linked && gst_element_link(formatFilter.get(), tee.get());
    }
    linked = linked && gst_element_link_many(tee.get(), queue.get(), valve.get(), rate.get(), nullptr)
             && gst_element_link(tee.get(), tap.get());
    if (previewJpeg) {
        linked = linked && gst_element_link(rate.get(), previewSink.get());
    } else {
        gst_bin_add_many(bin, scale.get(), convert.get(), previewCaps.get(), nullptr);
        linked = linked
                 && gst_element_link_many(rate.get(), scale.get(), convert.get(), previewCaps.get(),
                                          previewSink.get(), nullptr);
    }
    if (!linked)
        return fail(QStringLiteral("the camera's pipeline could not be linked"));

    GstAppSinkCallbacks preview{};
    preview.new_sample = &CameraPipeline::onPreviewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(previewSink.get()), &preview, this, nullptr);
    GstAppSinkCallbacks tapCallbacks{};
    tapCallbacks.new_sample = &CameraPipeline::onTapSample;
    tapCallbacks.eos = &CameraPipeline::onTapEos;
    gst_app_sink_set_callbacks(GST_APP_SINK(tap.get()), &tapCallbacks, this, nullptr);

    m_pipeline = pipeline;
    m_tapsJpeg = previewJpeg;
    m_camera = camera;
    m_valve = valve;
    m_previewCaps = previewCaps;
    if (GST_IS_COLOR_BALANCE(camera.get()))
        m_balance = camera;
    else if (GST_IS_BIN(camera.get()))
        m_balance = ElementRef::adopt(GST_ELEMENT(
            gst_bin_get_by_interface(GST_BIN(camera.get()), GST_TYPE_COLOR_BALANCE)));
    applyPreviewCaps();

    const BusRef bus = BusRef::adopt(gst_element_get_bus(pipeline.get()));
    m_bus = new BusWatch(bus.get(), [this](GstMessage *m) { onMessage(m); }, this);

    GstStateChangeReturn ret = gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    if (ret != GST_STATE_CHANGE_FAILURE)
        ret = gst_element_get_state(pipeline.get(), nullptr, nullptr, 3 * GST_SECOND);
    if (ret == GST_STATE_CHANGE_FAILURE) {
        const QString cause = firstError(pipeline.get());
        return fail(cause.isEmpty() ? QStringLiteral("the camera could not be started") : cause);
    }
    return true;
}

void CameraPipeline::stop()
{
    if (m_pipeline)
        gstsupport::shutDown(m_pipeline.get());
    if (m_bus) {
        // stop() may run inside the watch's own handler.
        m_bus->deleteLater();
        m_bus = nullptr;
    }
    m_balance.reset();
    m_valve.reset();
    m_previewCaps.reset();
    m_camera.reset();
    m_pipeline.reset();
    m_tapsJpeg = false;
}

void CameraPipeline::onMessage(GstMessage *message)
{
    if (!m_pipeline || GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR)
        return;
    if (!gst_object_has_as_ancestor(GST_MESSAGE_SRC(message), GST_OBJECT(m_pipeline.get())))
        return;
    const QString reason = gstsupport::errorText(message);
    stop();
    emit failed(reason);
}

void CameraPipeline::setViewSize(QSize viewSize)
{
    m_viewSize = viewSize;
    applyPreviewCaps();
}

void CameraPipeline::applyPreviewCaps()
{
    QSize target = m_viewSize.isEmpty() ? kFallbackPreviewSize : m_viewSize;
    if (m_format) {
        // Scaled here to about the view's size, in the camera's proportions;
        // the view stretches it the rest of the way when asked to.
        QSize fitted = m_format->size.scaled(target, Qt::KeepAspectRatio);
        if (fitted.width() > m_format->size.width())
            fitted = m_format->size;
        target = fitted;
    }
    target = target.expandedTo(QSize(16, 16));
    m_previewWidth = target.width();
    m_previewHeight = target.height();
    if (m_previewCaps) {
        const CapsRef caps = gstsupport::imageCaps(target.width(), target.height());
        g_object_set(m_previewCaps.get(), "caps", caps.get(), nullptr);
    }
}

void CameraPipeline::setPreviewEnabled(bool on)
{
    if (m_valve)
        g_object_set(m_valve.get(), "drop", on ? FALSE : TRUE, nullptr);
}

GstColorBalance *CameraPipeline::colorBalance() const
{
    return m_balance ? GST_COLOR_BALANCE(m_balance.get()) : nullptr;
}

ClockRef CameraPipeline::clock() const
{
    return m_pipeline ? ClockRef::adopt(gst_element_get_clock(m_pipeline.get())) : ClockRef();
}

GstClockTime CameraPipeline::baseTime() const
{
    return m_pipeline ? gst_element_get_base_time(m_pipeline.get()) : GST_CLOCK_TIME_NONE;
}

void CameraPipeline::setTap(std::function<void(GstSample *)> onFrame, std::function<void()> onEnd)
{
    QMutexLocker lock(&m_tapLock);
    m_tapFrame = std::move(onFrame);
    m_tapEnd = std::move(onEnd);
}

void CameraPipeline::clearTap()
{
    setTap(nullptr, nullptr);
}

GstFlowReturn CameraPipeline::onPreviewSample(GstAppSink *sink, gpointer self)
{
    auto *me = static_cast<CameraPipeline *>(self);
    const SampleRef sample = SampleRef::adopt(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_OK;
    if (!me->m_tapsJpeg) {
        me->m_frames->post(gstsupport::imageFromSample(sample.get()));
        return GST_FLOW_OK;
    }
    GstBuffer *buffer = gst_sample_get_buffer(sample.get());
    GstMapInfo map;
    if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ))
        return GST_FLOW_OK;
    QImage picture = decodeJpegPreview(map.data, map.size,
                                       QSize(me->m_previewWidth, me->m_previewHeight));
    gst_buffer_unmap(buffer, &map);
    if (!picture.isNull())
        me->m_frames->post(std::move(picture));
    return GST_FLOW_OK;
}

GstFlowReturn CameraPipeline::onTapSample(GstAppSink *sink, gpointer self)
{
    auto *me = static_cast<CameraPipeline *>(self);
    const SampleRef sample = SampleRef::adopt(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_OK;
    ++me->m_framesSeen;
    QMutexLocker lock(&me->m_tapLock);
    if (me->m_tapFrame)
        me->m_tapFrame(sample.get());
    return GST_FLOW_OK;
}

void CameraPipeline::onTapEos(GstAppSink *, gpointer self)
{
    auto *me = static_cast<CameraPipeline *>(self);
    QMutexLocker lock(&me->m_tapLock);
    if (me->m_tapEnd)
        me->m_tapEnd();
}
