#pragma once

// The media player on GStreamer's playbin. Pictures go through an appsink to
// the view, scaled in GStreamer to fit it and drawn in proportion; sound goes
// to the default output, and where none can be opened the clip plays on
// without sound.
//
// Its properties mean here:
//  - file name: a path opens the clip and shows its first picture; the empty
//    string closes it and lets go of the file. A path that is not a file is
//    refused with an exception and leaves no clip open.
//  - auto start: on, opening a clip also starts it; off, play() does.
//  - auto size: on, the view takes the clip's picture size, scaled by the
//    display size; off, the view keeps the size it was given.
//  - display size: used with auto size: 0 the clip's own size, 1 double,
//    2 half, 3 and 4 the view's size as it is (the picture is fitted into
//    it). Other values are refused.
//  - height, width: the view's size in twips, 15 twips to a pixel.
// play() starts the open clip from where it is, or again from the start
// once it has ended; without a clip it does nothing.

#include "GstSupport.h"
#include "MediaPlayer.h"

#include <gst/app/gstappsink.h>

#include <QPointer>
#include <QSize>

class GstMediaPlayer : public MediaPlayer
{
    Q_OBJECT
public:
    explicit GstMediaPlayer(QObject *parent = nullptr);
    ~GstMediaPlayer() override;

    void setView(VideoView *view) override;
    void setFileName(const QString &path) override;
    void setAutoStart(bool on) override;
    void setAutoSize(bool on) override;
    void setDisplaySize(int32_t mode) override;
    void setHeight(float twips) override;
    void setWidth(float twips) override;
    void play() override;

    // Beyond the window's interface.
    [[nodiscard]] QString fileName() const { return m_file; }
    [[nodiscard]] bool isPlaying() const;
    [[nodiscard]] bool hasEnded() const { return m_ended; }

private:
    void ensurePipeline();
    void close();
    void onMessage(GstMessage *message);
    void applyPictureSize();
    void fitViewToClip();
    [[nodiscard]] QSize viewSize() const;
    static GstFlowReturn onSample(GstAppSink *sink, gpointer self);
    static GstFlowReturn onPreroll(GstAppSink *sink, gpointer self);

    FrameMailbox m_frames{this};
    QPointer<VideoView> m_view;
    ElementRef m_playbin;
    ElementRef m_pictureCaps;
    ElementRef m_audioSink;
    QString m_file;
    bool m_autoStart = false;
    bool m_autoSize = false;
    int32_t m_displaySize = 4;
    QSize m_givenSize;
    bool m_ended = false;
    bool m_withoutSound = false;
    bool m_wantPlaying = false;
};
