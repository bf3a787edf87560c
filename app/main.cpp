#include "RealParts.h"
#include "VideoMessage.h"
#include "WorkFolder.h"
#include "frmMain.h"

#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <gst/gst.h>
#include <string_view>
#include <sys/stat.h>

namespace {

constexpr char kUsage[] =
    "Usage: mirabo [OPTION]...\n"
    "Records a short video message from your webcam and sends it by e-mail.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"
    "\n"
    "Qt's options for every program (such as -platform NAME) and GStreamer's\n"
    "(--gst-*) are passed on to them. The manual page mirabo(1) tells more.\n";

struct PassedOn
{
    std::string_view name;
    bool takesValue;
};
// What QApplication and gst_init take out of argv for themselves.
constexpr PassedOn kPassedOn[] = {
    {"-platform", true}, {"-platformpluginpath", true}, {"-platformtheme", true},
    {"-plugin", true}, {"-display", true}, {"-geometry", true}, {"-qwindowgeometry", true},
    {"-qwindowicon", true}, {"-qwindowtitle", true}, {"-session", true}, {"-style", true},
    {"-stylesheet", true}, {"-reverse", false}, {"-widgetcount", false},
    {"--gst-debug", true}, {"--gst-debug-level", true}, {"--gst-debug-color-mode", true},
    {"--gst-plugin-path", true}, {"--gst-plugin-load", true}};

int usageError(const char *what, const char *arg)
{
    std::fprintf(stderr, "mirabo: %s '%s'\nTry 'mirabo --help' for more information.\n", what, arg);
    return 2;
}

// Runs before GStreamer or a display is needed, so that --help and
// --version work anywhere; -1 means start the program.
int handleOptions(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "-v" || arg == "--version") {
            std::printf("Mirabo %s\n", qPrintable(versionText()));
            return 0;
        }
        if (!arg.starts_with('-'))
            return usageError("unexpected argument", argv[i]);
        // Qt reads its options with two dashes as well as one.
        if (arg.starts_with("--") && !arg.starts_with("--gst-"))
            arg.remove_prefix(1);
        const std::string_view name = arg.substr(0, arg.find('='));
        const auto *known = std::find_if(std::begin(kPassedOn), std::end(kPassedOn),
                                         [&](const PassedOn &o) { return o.name == name; });
        if (known == std::end(kPassedOn)) {
            if (arg.starts_with("--gst-"))
                continue;
            return usageError("unknown option", argv[i]);
        }
        if (known->takesValue && name.size() == arg.size() && ++i == argc)
            return usageError("a value is missing after", argv[i - 1]);
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    // The working files are written by GStreamer, by vmime and by the
    // encoder (a child, which inherits the umask), none of which takes a
    // file mode: this keeps every one of them readable by the user alone.
    ::umask(077);
    if (const int status = handleOptions(argc, argv); status >= 0)
        return status;

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
