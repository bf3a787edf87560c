#pragma once

// Pieces the capture component and the media player share: GStreamer
// start-up, bus messages on Qt's event loop, error texts and frames.

#include "GstHandles.h"

#include <QImage>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <functional>

class QSocketNotifier;
class VideoView;

namespace gstsupport {

// gst_init unless someone already did.
void ensureInitialised();

// Whether the message comes from the element or from inside it.
[[nodiscard]] bool isWithin(GstMessage *message, GstElement *element);

// The first ERROR waiting on the element's bus: later ones ("state change
// failed", "internal data stream error") only hide the cause.
[[nodiscard]] QString firstError(GstElement *pipeline);

// The text of an ERROR or WARNING message: GStreamer's own sentence, which is
// written for people, and the element that raised it.
[[nodiscard]] QString errorText(GstMessage *message);

// A deep copy of a sample in BGRx (QImage::Format_RGB32); null if it is not.
[[nodiscard]] QImage imageFromSample(GstSample *sample);

// The caps an appsink asks for to get pictures a QImage can take.
[[nodiscard]] CapsRef imageCaps(int width, int height);

// Sets the element to NULL and waits for it, so that its threads have ended
// and its devices and files are released when this returns.
void shutDown(GstElement *element);

} // namespace gstsupport

// Brings a bus's messages onto the Qt event loop of the thread that made the
// watch; no GLib main loop has to run. The handler is called once per
// message, in posting order.
class BusWatch : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(GstMessage *)>;
    BusWatch(GstBus *bus, Handler handler, QObject *parent = nullptr);
    ~BusWatch() override;

    // Handles what is waiting now (used before deciding on a state change).
    void drain();

private:
    BusRef m_bus;
    Handler m_handler;
    QSocketNotifier *m_notifier = nullptr;
    bool m_draining = false;
};

// Hands pictures from streaming threads to a view on its own thread, keeping
// only the newest: a busy window (for instance while the encoder runs)
// never piles up frames.
class FrameMailbox
{
public:
    explicit FrameMailbox(QObject *context) : m_context(context) {}

    void setView(VideoView *view);   // call on the context's thread
    void post(QImage frame);         // any thread
    void drop();                     // forget a frame not yet shown

private:
    void deliver();

    QObject *m_context;
    QPointer<VideoView> m_view;
    QMutex m_lock;
    QImage m_pending;
    bool m_posted = false;
};
