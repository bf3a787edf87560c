// Loaded into the installed program with LD_PRELOAD, this takes the real
// window through one round of the seven steps, as a person at the keyboard
// and mouse would, and reports on stdout:
//   STATUS <status line after Compress>
//   FILES <folder>: <name> <mode>, ...
//                               what $MIRABO_DRIVER_WATCH holds after Compress,
//                               and again once Send is clicked
//   SENT                        the window said the message went out; then
//                               the program is asked to quit
//   FAILED <what>               a message box, a step that did not come, or
//                               time running out; the process ends with 3
// The recipient and subject come from $MIRABO_DRIVER_TO and _SUBJECT. Only the
// test devices (GST_PLUGIN_PATH=<build>/tests/gst-plugins) are used.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <gst/gst.h>
#include <cstdlib>
#include <functional>
#include <stdlib.h>
#include <sys/stat.h>

namespace {

const QString kSent = QStringLiteral("Video Email Sent Successfully");

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &what)
{
    say(QStringLiteral("FAILED ") + what);
    std::_Exit(3);
}

QMainWindow *findWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("frmMain") && w->isVisible())
            return qobject_cast<QMainWindow *>(w);
    }
    return nullptr;
}

template <typename T> T *part(QWidget *w, const char *name)
{
    T *found = w->findChild<T *>(QLatin1String(name));
    if (!found)
        fail(QStringLiteral("no control ") + QLatin1String(name));
    return found;
}

void waitFor(const char *what, int ms, const std::function<bool()> &done)
{
    if (!QTest::qWaitFor(done, ms))
        fail(QStringLiteral("waited in vain for ") + QLatin1String(what));
}

void listWatched()
{
    const QString watched = qEnvironmentVariable("MIRABO_DRIVER_WATCH");
    if (watched.isEmpty())
        return;
    QStringList files;
    for (const QString &name : QDir(watched).entryList(QDir::Files | QDir::Hidden, QDir::Name)) {
        struct stat st {};
        if (::lstat(QFile::encodeName(QDir(watched).filePath(name)).constData(), &st) == 0)
            files << name + QStringLiteral(" %1").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    }
    say(QStringLiteral("FILES %1: %2").arg(watched, files.join(QStringLiteral(", "))));
}

void click(QWidget *window, const char *name)
{
    auto *button = part<QWidget>(window, name);
    if (!button->isEnabled())
        fail(QLatin1String(name) + QStringLiteral(" is disabled"));
    QTest::mouseClick(button, Qt::LeftButton);
}

void drive(QMainWindow *w)
{
    auto *to = part<QLineEdit>(w, "txtEmailTo");
    waitFor("the focus in the recipient box", 20000, [&] { return to->hasFocus(); });
    QTest::keyClicks(to, qEnvironmentVariable("MIRABO_DRIVER_TO"));
    QTest::keyClick(to, Qt::Key_Tab);
    QTest::keyClicks(part<QLineEdit>(w, "txtEmailSubject"), qEnvironmentVariable("MIRABO_DRIVER_SUBJECT"));
    QTest::keyClick(part<QLineEdit>(w, "txtEmailSubject"), Qt::Key_Tab);

    QTimer::singleShot(2500, w, [w] { click(w, "BUTstopRecord"); });
    click(w, "BUTRecord");
    waitFor("the recording to end", 30000, [w] { return part<QWidget>(w, "BUTcompress")->isEnabled(); });

    click(w, "BUTcompress");
    waitFor("the encoder to end", 60000, [w] { return part<QWidget>(w, "BUTsend")->isEnabled(); });
    say(QStringLiteral("STATUS ") + part<QLabel>(w, "lblStatus")->text());
    listWatched();

    click(w, "BUTsend");
    listWatched();
    auto *instructions = part<QLabel>(w, "lblInstructions");
    waitFor("the message to go out", 60000, [&] { return instructions->text() == kSent; });
    say(QStringLiteral("SENT"));
    QCoreApplication::quit();
}

// The test camera and microphone alone: no real device or sound server takes
// part. main() has initialised GStreamer by now; nothing has probed yet.
void rankOutRealDevices()
{
    GList *factories = gst_device_provider_factory_list_get_device_providers(GST_RANK_NONE);
    for (GList *f = factories; f; f = f->next) {
        auto *feature = GST_PLUGIN_FEATURE(f->data);
        if (g_strcmp0(gst_plugin_feature_get_plugin_name(feature), "mirabotestdevices") != 0)
            gst_plugin_feature_set_rank(feature, GST_RANK_NONE);
    }
    gst_plugin_feature_list_free(factories);
}

void begin()
{
    // Message boxes stop the round: no step of it should raise one.
    auto *watch = new QTimer(qApp);
    QObject::connect(watch, &QTimer::timeout, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            fail(QStringLiteral("message box: ") + box->text());
        if (QWidget *modal = QApplication::activeModalWidget())
            fail(QStringLiteral("a dialogue: ") + modal->windowTitle());
    });
    watch->start(200);
    QTimer::singleShot(180000, qApp, [] { fail(QStringLiteral("time is up")); });

    auto *look = new QTimer(qApp);
    QObject::connect(look, &QTimer::timeout, [look] {
        if (QMainWindow *w = findWindow()) {
            look->stop();
            look->deleteLater();
            drive(w);
        }
    });
    look->start(100);
}

// The preload passes through whatever starts the program (env, a desktop
// launcher) but not on to the program's own children: the encoder and
// GStreamer's plugin scanner.
const bool preloadDropped = [] {
    const QByteArray exe = QFile::encodeName(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    return exe.endsWith("/mirabo") && ::unsetenv("LD_PRELOAD") == 0;
}();

// Runs while the application object is being made: the rest waits for its
// event loop.
void start()
{
    rankOutRealDevices();
    QMetaObject::invokeMethod(qApp, &begin, Qt::QueuedConnection);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
