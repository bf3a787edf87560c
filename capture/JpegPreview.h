#pragma once

#include <QImage>
#include <QSize>
#include <cstddef>

// Decodes one camera JPEG picture for the live view, at the smallest of
// 1/8, 1/4, 1/2 or full size that still covers atLeast: libjpeg scales in
// its inverse DCT, so a quarter-size picture costs far less than a full one
// scaled down afterwards. A damaged or oversized picture gives a null image;
// nothing is printed.
[[nodiscard]] QImage decodeJpegPreview(const uchar *data, size_t size, QSize atLeast);
