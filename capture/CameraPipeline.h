#pragma once

// The live pipeline of one camera:
//   camera ! capsfilter(format) ! tee
//     tee. ! queue(leaky, 1) ! valve ! videorate(max 25) ! videoscale
//          ! videoconvert ! capsfilter(BGRx, about the view's size) ! appsink
//     tee. ! appsink (the tap that feeds a recording)
// It runs from the moment a view and a device are there; recordings take
// their frames from the tap, so the live picture never stops for them.
// A camera that sends JPEG pictures reaches the tap with them as they are;
// the preview branch ends at the rate limit, and only the pictures the live
// view shows are decoded, at about its size.

#include "CaptureDevices.h"
#include "GstSupport.h"

#include <gst/app/gstappsink.h>
#include <gst/video/colorbalance.h>

#include <QMutex>
#include <QObject>
#include <QSize>
#include <atomic>
#include <functional>
#include <optional>

class CameraPipeline : public QObject
{
    Q_OBJECT
public:
    // frames: where preview pictures go; it outlives this object.
    CameraPipeline(FrameMailbox *frames, QObject *parent = nullptr);
    ~CameraPipeline() override;

    // Builds the pipeline for the device and starts it. On failure the text
    // says why in GStreamer's words and nothing is left running.
    [[nodiscard]] bool start(GstDevice *device, const std::optional<VideoFormat> &format,
                             QSize viewSize, QString *error);
    void stop();
    [[nodiscard]] bool isRunning() const { return bool(m_pipeline); }
    // Frames that came through since start().
    [[nodiscard]] quint64 framesSeen() const { return m_framesSeen.load(); }
    // Whether the tap hands on JPEG pictures (image/jpeg) rather than raw.
    [[nodiscard]] bool tapsJpeg() const { return m_tapsJpeg; }
    // On, a JPEG camera's pictures are decoded before the tap too, so that a
    // recording encodes them again: the old way, kept to measure against.
    // Applies from the next start().
    void setDecodeBeforeTap(bool on) { m_decodeBeforeTap = on; }

    void setViewSize(QSize viewSize);
    void setPreviewEnabled(bool on);

    // The device's picture controls, or null; valid while running.
    [[nodiscard]] GstColorBalance *colorBalance() const;

    [[nodiscard]] ClockRef clock() const;
    [[nodiscard]] GstClockTime baseTime() const;

    // Every camera frame goes to onFrame on a streaming thread until the tap
    // is cleared; onEnd is called there when the camera's stream ends.
    // Clearing waits for a call in progress, so the receiver may go after it.
    void setTap(std::function<void(GstSample *)> onFrame, std::function<void()> onEnd);
    void clearTap();

signals:
    // The camera stopped with an error after it had started; the pipeline
    // has been shut down.
    void failed(const QString &reason);

private:
    void onMessage(GstMessage *message);
    void applyPreviewCaps();
    static GstFlowReturn onPreviewSample(GstAppSink *sink, gpointer self);
    static GstFlowReturn onTapSample(GstAppSink *sink, gpointer self);
    static void onTapEos(GstAppSink *sink, gpointer self);

    FrameMailbox *m_frames;
    ElementRef m_pipeline;
    ElementRef m_camera;
    ElementRef m_balance;
    ElementRef m_valve;
    ElementRef m_previewCaps;
    BusWatch *m_bus = nullptr;
    std::optional<VideoFormat> m_format;
    QSize m_viewSize;
    bool m_tapsJpeg = false;
    // The size JPEG previews are decoded to cover; read on a streaming thread.
    std::atomic<int> m_previewWidth{0};
    std::atomic<int> m_previewHeight{0};
    bool m_decodeBeforeTap = false;
    std::atomic<quint64> m_framesSeen{0};

    QMutex m_tapLock;
    std::function<void(GstSample *)> m_tapFrame;
    std::function<void()> m_tapEnd;
};
