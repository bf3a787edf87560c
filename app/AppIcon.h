#pragma once

#include <QIcon>

// The program's own icon: a camera lens on an envelope, drawn at run time.
[[nodiscard]] QIcon makeAppIcon();
