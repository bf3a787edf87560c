// Time from the process's start to a window ready for use, and peak memory.
//   startup_bench mirabo   the program as main() builds it, with the test
//                          camera: ready when the first live frame is painted
//   startup_bench bare     an empty Qt window, the reference: ready when shown
// Prints one line: "<ms to ready> <peak memory in kB>".

#include "GstSupport.h"
#include "RealParts.h"
#include "ScriptedDialogs.h"
#include "SettingsStore.h"
#include "TestDevices.h"
#include "VideoView.h"
#include "frmMain.h"

#include <QApplication>
#include <QFile>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

// Milliseconds since the kernel started this process.
double sinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double startTicks = fields.value(19).toDouble();   // field 22 of the whole line
    timespec boot {};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double now = boot.tv_sec * 1000.0 + boot.tv_nsec / 1e6;
    return now - startTicks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

long peakKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

[[noreturn]] void report()
{
    std::printf("%.0f %ld\n", sinceProcessStart(), peakKilobytes());
    std::fflush(stdout);
    std::_Exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    const bool bare = argc > 1 && QByteArray(argv[1]) == "bare";
    QApplication app(argc, argv);
    QTimer::singleShot(30000, [] {
        std::fprintf(stderr, "startup_bench: not ready after 30 s\n");
        std::_Exit(1);
    });

    if (bare) {
        QMainWindow window;
        window.resize(676, 500);
        window.show();
        QTimer::singleShot(0, [] { report(); });
        return app.exec();
    }

    gstsupport::ensureInitialised();
    if (!testcamera::registerTestDevices(1, 1)) {
        std::fprintf(stderr, "startup_bench: the test devices could not be registered\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString settings = dir.filePath(QStringLiteral("Mirabo.conf"));
    IniSettingsStore(settings).save(QStringLiteral("EmailAddress"), QStringLiteral("ann@example.com"));
    ScriptedDialogs dialogs;
    // Marked as a build's program directory: the working files stay in it,
    // away from the user's own.
    QFile(dir.filePath(QStringLiteral("mirabo-build-tree"))).open(QIODevice::WriteOnly);
    RealParts real(dir.path(), settings, &dialogs);
    frmMain window(real.parts());
    window.load();
    window.showCentred();
    auto *live = window.findChild<VideoView *>(QStringLiteral("LiveVideoView"));
    QObject::connect(live, &VideoView::frameShown, [] { report(); });
    return app.exec();
}
