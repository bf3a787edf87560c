// The window in a Wayland session: under weston's headless compositor, this
// program runs itself again on Qt's wayland platform, where the window shows
// the live picture, records and compresses as it does on X11.
#include "WindowRig.h"

#include <QStandardPaths>
#include <QTimer>

using namespace windowtest;

namespace {

class PaintCount : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++count;
        return false;
    }
    int count = 0;
};

// A compositor of its own, in a runtime folder of its own (mkdtemp: 0700).
class Weston
{
public:
    // Empty when it is up; otherwise why not.
    QString start()
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("weston"));
        if (program.isEmpty())
            return QStringLiteral("weston is not installed (scripts/deps.sh test installs it)");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"WAYLAND_DISPLAY", "WAYLAND_SOCKET", "DISPLAY"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--socket=") + socket,
                                QStringLiteral("--idle-time=0")});
        const bool up = QTest::qWaitFor([this] {
            return QFile::exists(runtime.filePath(socket)) || process.state() == QProcess::NotRunning;
        }, 10000);
        if (up && process.state() == QProcess::Running)
            return {};
        return QStringLiteral("weston could not start: ") + QString::fromLocal8Bit(process.readAll().right(600));
    }
    ~Weston()
    {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QTemporaryDir runtime;
    const QString socket = QStringLiteral("mirabo-test-%1").arg(QCoreApplication::applicationPid());
    QProcess process;
};

} // namespace

class TestWindowWayland : public QObject
{
    Q_OBJECT

    void onWayland()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        QVERIFY(rig.installEncoder());
        frmMain &w = rig.start();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        // the live picture reaches the screen
        auto *live = w.findChild<VideoView *>(QStringLiteral("LiveVideoView"));
        PaintCount painted;
        live->installEventFilter(&painted);
        QTRY_VERIFY_WITH_TIMEOUT(live->framesShown() > 10 && painted.count > 10, 15000);

        QTimer::singleShot(2000, Qt::PreciseTimer, &w, [&w] { QTest::mouseClick(w.BUTstopRecord, Qt::LeftButton); });
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        const capturetest::Clip clip = capturetest::probeClip(rig.file(QStringLiteral("video.avi")));
        QVERIFY2(clip.readable && clip.duration > 1.5, qPrintable(QString::number(clip.duration)));

        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        QCOMPARE(w.lblInstructions->text(), kStep6Text);
        const capturetest::Clip out = capturetest::probeClip(rig.file(QStringLiteral("mirabo.mpg")));
        QVERIFY(out.readable);
        QCOMPARE(out.ofType(QStringLiteral("video"))[0].value("codec_name").toString(), QStringLiteral("mpeg1video"));
        QVERIFY2(qAbs(out.duration - clip.duration) < 0.3, qPrintable(QString::number(out.duration)));
    }

private slots:
    void initTestCase() { useTestDevices(1, 1); }

    void liveVideoRecordingAndCompressionUnderWeston()
    {
        if (QGuiApplication::platformName() == QLatin1String("wayland"))
            return onWayland();

        Weston weston;
        if (const QString why = weston.start(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), weston.socket);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), weston.runtime.path());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(QTest::currentTestFunction())});
        if (!child.waitForFinished(120000)) {
            child.kill();
            child.waitForFinished(5000);
        }
        const QString said = QString::fromLocal8Bit(child.readAll());
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, qPrintable(said));
        QVERIFY2(said.contains(QStringLiteral("PASS   : TestWindowWayland::liveVideoRecordingAndCompressionUnderWeston()")),
                 qPrintable(said));
    }
};

QTEST_MAIN(TestWindowWayland)
#include "tst_window_wayland.moc"
