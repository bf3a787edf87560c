#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

class VideoView;

// The media player behind the window's playback picture. The window only
// sets properties and starts playback; it reads nothing back and hears no
// event. Errors are thrown as std::exception with a readable text.
class MediaPlayer : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~MediaPlayer() override = default;

    // Where the picture is painted; the player sizes this view.
    virtual void setView(VideoView *view) = 0;

    // A path opens that clip; the empty string closes the clip and lets go
    // of the file.
    virtual void setFileName(const QString &path) = 0;
    virtual void setAutoStart(bool on) = 0;
    virtual void setAutoSize(bool on) = 0;
    virtual void setDisplaySize(int32_t mode) = 0;
    // The size the window gives the player, in twips.
    virtual void setHeight(float twips) = 0;
    virtual void setWidth(float twips) = 0;

    // Starts playback of the open clip and returns at once.
    virtual void play() = 0;
};
