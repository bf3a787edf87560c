#pragma once

#include <QIcon>
#include <QImage>

// The program's own icon, a camera lens on an envelope, rendered from the
// same SVG that is installed for the desktop.
[[nodiscard]] QImage renderAppIcon(int size);
[[nodiscard]] QIcon makeAppIcon();
