#include "GstSupport.h"

#include "VideoView.h"

#include <gst/video/video.h>

#include <QMetaObject>
#include <QSocketNotifier>

namespace gstsupport {

void ensureInitialised()
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
}

QString errorText(GstMessage *message)
{
    ErrorRef error;
    gchar *debug = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
        gst_message_parse_error(message, error.out(), &debug);
    else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING)
        gst_message_parse_warning(message, error.out(), &debug);
    g_free(debug);
    if (!error.get())
        return QString();
    return QString::fromUtf8(error.get()->message).trimmed();
}

QImage imageFromSample(GstSample *sample)
{
    GstCaps *caps = gst_sample_get_caps(sample);
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstVideoInfo info;
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps)
        || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGRx)
        return QImage();
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ))
        return QImage();
    const QImage view(static_cast<const uchar *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                      GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame),
                      GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), QImage::Format_RGB32);
    QImage copy = view.copy();
    gst_video_frame_unmap(&frame);
    return copy;
}

CapsRef imageCaps(int width, int height)
{
    return CapsRef::adopt(gst_caps_new_simple(
        "video/x-raw", "format", G_TYPE_STRING, "BGRx", "width", G_TYPE_INT, width, "height",
        G_TYPE_INT, height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr));
}

void shutDown(GstElement *element)
{
    if (!element)
        return;
    gst_element_set_state(element, GST_STATE_NULL);
    gst_element_get_state(element, nullptr, nullptr, GST_CLOCK_TIME_NONE);
}

bool isWithin(GstMessage *message, GstElement *element)
{
    GstObject *src = GST_MESSAGE_SRC(message);
    return element
           && (src == GST_OBJECT(element) || gst_object_has_as_ancestor(src, GST_OBJECT(element)));
}

QString firstError(GstElement *pipeline)
{
    const BusRef bus = BusRef::adopt(gst_element_get_bus(pipeline));
    const MessageRef m = MessageRef::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    return m ? errorText(m.get()) : QString();
}

} // namespace gstsupport

BusWatch::BusWatch(GstBus *bus, Handler handler, QObject *parent)
    : QObject(parent)
    , m_bus(BusRef::retain(bus))
    , m_handler(std::move(handler))
{
    GPollFD fd{};
    gst_bus_get_pollfd(bus, &fd);
    m_notifier = new QSocketNotifier(fd.fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BusWatch::drain);
}

BusWatch::~BusWatch() = default;

void BusWatch::drain()
{
    // A handler may spin an event loop; the outer drain goes on afterwards.
    if (m_draining)
        return;
    m_draining = true;
    while (GstMessage *m = gst_bus_pop(m_bus.get())) {
        const MessageRef message = MessageRef::adopt(m);
        m_handler(message.get());
    }
    m_draining = false;
}

void FrameMailbox::setView(VideoView *view)
{
    m_view = view;
}

void FrameMailbox::post(QImage frame)
{
    QMutexLocker lock(&m_lock);
    m_pending = std::move(frame);
    if (m_posted)
        return;
    m_posted = true;
    QMetaObject::invokeMethod(m_context, [this] { deliver(); }, Qt::QueuedConnection);
}

void FrameMailbox::drop()
{
    QMutexLocker lock(&m_lock);
    m_pending = QImage();
}

void FrameMailbox::deliver()
{
    QImage frame;
    {
        QMutexLocker lock(&m_lock);
        frame = std::move(m_pending);
        m_pending = QImage();
        m_posted = false;
    }
    if (m_view && !frame.isNull())
        m_view->presentFrame(frame);
}
