#include "RealParts.h"
#include "WorkFolder.h"
#include "frmMain.h"

#include <QApplication>
#include <gst/gst.h>

int main(int argc, char *argv[])
{
    gst_init(&argc, &argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mirabo"));
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(MIRABO_APP_ID));

    RealParts real(QCoreApplication::applicationDirPath());
    if (!real.ownsFolder()) {
        // One copy at a time: the one running comes forward instead.
        if (!real.folder().callOwner())
            qWarning("Mirabo is running already, but did not answer.");
        return 0;
    }
    frmMain window(real.parts());
    // Start-up questions come before the window is on screen; later
    // messages belong to it.
    window.load();
    real.setDialogParent(&window);
    window.showCentred();
    return app.exec();
}
