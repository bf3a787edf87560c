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
