#pragma once

#include <QFile>
#include <QString>

// Working files are regular files the program wrote itself. They are opened
// for reading without following a symbolic link at their name, and without
// waiting on a FIFO or device that stands there instead.
//
// Opens file (by its fileName()) read-only; false when it cannot be read or
// is anything but a regular file, and why in words. The file's name is gone
// from file once opened: keep the path for texts.
[[nodiscard]] bool openRegularFile(QFile &file, QString &why, QIODevice::OpenMode extra = {});
