#pragma once

// Shared by the capture tests: the test devices, a view, and picture checks.

#include "GstCapture.h"
#include "TestDevices.h"
#include "VideoView.h"

#include <QColor>
#include <QImage>
#include <QTest>

namespace capturetest {

inline void useTestDevices(int cameras, int microphones, const testcamera::Faults &faults = {})
{
    gstsupport::ensureInitialised();
    QVERIFY(testcamera::registerTestDevices(cameras, microphones, faults));
}

// The view the window has: 3855 x 2970 twips.
inline void sizeLikeTheWindow(VideoView &view)
{
    view.resize(257, 198);
}

inline QColor centreColour(const VideoView &view)
{
    const QImage frame = view.currentFrame();
    return frame.isNull() ? QColor() : frame.pixelColor(frame.width() / 2, frame.height() / 2);
}

// True when the colour is mostly the given primary (0 red, 1 green, 2 blue).
inline bool isMostly(const QColor &c, int primary)
{
    const int v[3] = {c.red(), c.green(), c.blue()};
    const int others = std::max(v[(primary + 1) % 3], v[(primary + 2) % 3]);
    return c.isValid() && v[primary] > 150 && others < 80;
}

inline double meanLuma(const QImage &image)
{
    if (image.isNull())
        return -1;
    double sum = 0;
    int n = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4, ++n)
            sum += qGray(image.pixel(x, y));
    return n ? sum / n : -1;
}

} // namespace capturetest

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace capturetest {

// What ffprobe reads from a clip.
struct Clip
{
    bool readable = false;
    double duration = -1;                 // the container's, -1 when N/A
    QList<QJsonObject> streams;
    [[nodiscard]] QList<QJsonObject> ofType(const QString &type) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject &s : streams)
            if (s.value("codec_type").toString() == type)
                out << s;
        return out;
    }
};

inline Clip probeClip(const QString &path)
{
    Clip clip;
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_frames", "-show_format", "-show_streams", "-of",
                        "json", path});
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return clip;
    const QJsonObject root = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    clip.readable = root.contains("format");
    bool ok = false;
    const double d = root.value("format").toObject().value("duration").toString().toDouble(&ok);
    clip.duration = ok ? d : -1;
    for (const QJsonValue &s : root.value("streams").toArray())
        clip.streams << s.toObject();
    return clip;
}

inline int intField(const QJsonObject &stream, const char *name)
{
    return stream.value(name).toString().toInt();
}

// avimux writes the idx1 index when the recording ended with EOS.
inline bool hasAviIndex(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.readAll().contains("idx1");
}

// The colour in the middle of the clip's picture at the given time.
inline QColor clipCentreColour(const QString &path, double seconds)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-ss", QString::number(seconds), "-i", path, "-frames:v", "1",
                       "-vf", "scale=64:48", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return QColor();
    const QByteArray rgb = p.readAllStandardOutput();
    const int at = (24 * 64 + 32) * 3;
    if (rgb.size() < at + 3)
        return QColor();
    return QColor(uchar(rgb[at]), uchar(rgb[at + 1]), uchar(rgb[at + 2]));
}

// The settings the window gives before every recording.
inline void applyWindowSettings(CaptureComponent &c)
{
    c.setTimeLimitEnabled(false);
    c.setCaptureAudio(true);
    c.setYieldDuringCapture(true);
    c.setPreviewDuringCapture(true);
    c.setCaptureFrameRate(25);
    c.setConfirmBeforeCapture(false);
    c.setBufferSeconds(5);
}

} // namespace capturetest
