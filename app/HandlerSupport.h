#pragma once

#include <QWidget>

// Small pieces the window's handlers share.
namespace handler {

// Qt would hand the focus of a disabled button to the next control in the
// chain, which may be a settings box out of view or the subject box (whose
// got-focus moves the guidance); the window just lets go of it instead.
inline void disable(QWidget *w)
{
    if (w->hasFocus())
        w->clearFocus();
    w->setEnabled(false);
}

} // namespace handler
