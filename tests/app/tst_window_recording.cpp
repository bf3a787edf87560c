#include "CaptureTestSupport.h"
#include "WindowRig.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <sys/stat.h>
#include <unistd.h>

using namespace windowtest;

namespace {

const QString kCouldNotStart = QStringLiteral("Could not start Video Capture");

// The real capture component, counting the stops it is asked for.
class CountingCapture : public GstCapture
{
public:
    bool stop() override
    {
        ++stops;
        return GstCapture::stop();
    }
    int stops = 0;
};

struct Snapshot
{
    bool taken = false;
    bool recordEnabled = true, stopEnabled = false, playEnabled = true, compressEnabled = true,
         sendEnabled = true;
    bool onAirShown = false;
    int onAirLamp0 = -1, onAirLamp1 = -1;
    QString onAirText, status;
};

Snapshot snapshot(const frmMain &w)
{
    Snapshot s;
    s.taken = true;
    s.recordEnabled = w.BUTRecord->isEnabled();
    s.stopEnabled = w.BUTstopRecord->isEnabled();
    s.playEnabled = w.BUTplay->isEnabled();
    s.compressEnabled = w.BUTcompress->isEnabled();
    s.sendEnabled = w.BUTsend->isEnabled();
    s.onAirShown = w.lblONAIR->isVisible() && w.LEDONAIR[0]->isVisible() && w.LEDONAIR[1]->isVisible();
    s.onAirLamp0 = w.LEDONAIR[0]->state();
    s.onAirLamp1 = w.LEDONAIR[1]->state();
    s.onAirText = w.lblONAIR->text();
    s.status = w.lblStatus->text();
    return s;
}

void at(int ms, QObject *context, std::function<void()> action)
{
    QTimer::singleShot(ms, Qt::PreciseTimer, context, std::move(action));
}

void verifyClipRecordedState(const frmMain &w)
{
    QVERIFY(w.BUTRecord->isEnabled());
    QVERIFY(!w.BUTstopRecord->isEnabled());
    QVERIFY(w.BUTplay->isEnabled());
    QVERIFY(w.BUTcompress->isEnabled());
    QCOMPARE(w.LEDsteps[3]->state(), 1);
    QCOMPARE(w.LEDsteps[4]->state(), 2);
    QVERIFY(w.LEDONAIR[0]->isHidden() && w.LEDONAIR[1]->isHidden() && w.lblONAIR->isHidden());
    QCOMPARE(w.lblInstructions->text(), kStep5Text);
    QCOMPARE(w.lblStatus->text(), QString());
}

VideoView *playerView(frmMain &w)
{
    return w.findChild<VideoView *>(QStringLiteral("PlayerView"));
}

// Closes the next modal dialog a moment after it opens; false if none came.
void closeNextModalDialog(bool *seen)
{
    QTimer::singleShot(200, [seen] {
        if (auto *d = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            *seen = true;
            d->reject();
        }
    });
}

} // namespace

class TestWindowRecording : public QObject
{
    Q_OBJECT

private slots:
    void init() { useTestDevices(1, 1); }

    void recordThenStop()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        CountingCapture capture;
        frmMain &w = rig.start(&capture);

        Snapshot during;
        at(1500, &w, [&] { during = snapshot(w); });
        at(3000, &w, [&] { QTest::mouseClick(w.BUTstopRecord, Qt::LeftButton); });
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        const double seconds = clock.elapsed() / 1000.0;

        QVERIFY(during.taken);
        QVERIFY(!during.recordEnabled);
        QVERIFY(during.stopEnabled);
        // the first recording of a run leaves Play and Compress disabled
        QVERIFY(!during.playEnabled && !during.compressEnabled);
        QVERIFY(!during.sendEnabled);
        QVERIFY(during.onAirShown);
        QCOMPARE(during.onAirLamp0, 1);
        QCOMPARE(during.onAirLamp1, 1);
        QCOMPARE(during.onAirText, QStringLiteral("RECORDING"));
        QVERIFY2(during.status.startsWith(QStringLiteral("Recording")), qPrintable(during.status));

        QVERIFY(rig.dialogs.messages.isEmpty());
        QCOMPARE(capture.stops, 3);
        verifyClipRecordedState(w);
        QVERIFY(!w.BUTsend->isEnabled());
        // the click ran Record's got-focus first: step 3 done, subject skipped
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 1, 1, 2, 0, 0}));

        // the clip is where start-up named it, complete, about as long as the recording
        const capturetest::Clip clip = capturetest::probeClip(rig.file(QStringLiteral("video.avi")));
        QVERIFY(clip.readable);
        QCOMPARE(clip.ofType(QStringLiteral("video")).size(), 1);
        QCOMPARE(clip.ofType(QStringLiteral("video"))[0].value("codec_name").toString(), QStringLiteral("mjpeg"));
        QCOMPARE(clip.ofType(QStringLiteral("audio")).size(), 1);
        QCOMPARE(clip.ofType(QStringLiteral("audio"))[0].value("codec_name").toString(), QStringLiteral("pcm_s16le"));
        QVERIFY2(clip.duration > 2.5 && clip.duration <= seconds + 0.1, qPrintable(QString::number(clip.duration)));
    }

    void keysAloneRecordAndStopWithoutMovingTheGuidance()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);
        QTest::keyClick(w.txtEmailTo, Qt::Key_Tab);
        QTest::keyClick(w.txtEmailSubject, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.BUTRecord);
        int recordGotFocus = 0;
        connect(w.BUTRecord, &FlatButton::gotFocus, this, [&] { ++recordGotFocus; });
        QWidget *focusWhileRecording = nullptr;
        QString textWhileRecording;
        at(1500, &w, [&] {
            focusWhileRecording = QApplication::focusWidget();
            textWhileRecording = w.lblInstructions->text();
            if (focusWhileRecording)
                QTest::keyClick(focusWhileRecording, Qt::Key_Return);
        });

        QTest::keyClick(w.BUTRecord, Qt::Key_Space);
        QVERIFY(settles(w));

        QCOMPARE(focusWhileRecording, w.BUTstopRecord);
        QCOMPARE(textWhileRecording, kStep4Text);
        QCOMPARE(QApplication::focusWidget(), w.BUTplay);
        QCOMPARE(recordGotFocus, 0);
        QCOMPARE(lampStates(w), (QList<int>{1, 1, 1, 1, 2, 0, 0}));
        QVERIFY(rig.dialogs.messages.isEmpty());
        QVERIFY(capturetest::probeClip(rig.file(QStringLiteral("video.avi"))).readable);
        // Enter on Play plays
        QTest::keyClick(w.BUTplay, Qt::Key_Enter);
        QTRY_VERIFY_WITH_TIMEOUT(playerView(w)->framesShown() > 3, 15000);
    }

    void captureThatCannotStart()
    {
        useTestDevices(0, 0);
        WindowRig rig;
        rig.storeTypicalSettings();
        QVERIFY(makeClip(rig.file(QStringLiteral("video.avi")), 0.5));
        frmMain &w = rig.start();
        rig.dialogs.messages.clear();
        Snapshot atMessage;
        rig.dialogs.onMessage = [&](const QString &) { atMessage = snapshot(w); };

        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));

        QCOMPARE(rig.dialogs.messages, QStringList{kCouldNotStart});
        QVERIFY(atMessage.onAirShown);
        verifyClipRecordedState(w);
        // the old clip went before the capture was tried
        QVERIFY(!QFile::exists(rig.file(QStringLiteral("video.avi"))));

        // playing nothing says nothing and keeps the state
        QTest::mouseClick(w.BUTplay, Qt::LeftButton);
        QCOMPARE(rig.dialogs.messages, QStringList{kCouldNotStart});
        verifyClipRecordedState(w);
    }

    void captureFileThatCannotBeWritten()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        // a folder in the file's place stops root as well
        QVERIFY(QDir().mkpath(rig.file(QStringLiteral("video.avi"))));
        frmMain &w = rig.start();
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        QCOMPARE(rig.dialogs.messages, QStringList{kCouldNotStart});
        verifyClipRecordedState(w);
    }

    void aRecordingThatBreaksOffIsNotAClip_data()
    {
        QTest::addColumn<bool>("diskFull");   // else the camera stops
        QTest::addColumn<QString>("reason");
        QTest::newRow("disk full") << true << QStringLiteral("No space left on device");
        QTest::newRow("camera unplugged") << false << QStringLiteral("stopped working");
    }
    void aRecordingThatBreaksOffIsNotAClip()
    {
        QFETCH(bool, diskFull);
        QFETCH(QString, reason);
        if (diskFull && ::access("/dev/full", W_OK) != 0)
            QSKIP("no /dev/full to write to");
        testcamera::Faults faults;
        if (!diskFull) {
            faults.cameraFailingAfter = 1;
            faults.failAfterFrames = 40;
        }
        useTestDevices(1, 1, faults);
        WindowRig rig;
        rig.storeTypicalSettings();
        // as after an earlier recording and compression
        QVERIFY(makeClip(rig.file(QStringLiteral("video.avi")), 0.5));
        rig.leaveFiles(QByteArray(), "mpeg");
        frmMain &w = rig.start();
        QVERIFY(w.BUTplay->isEnabled() && w.BUTcompress->isEnabled() && w.BUTsend->isEnabled());
        if (diskFull)
            rig.parts->capture().setCaptureFileName(QStringLiteral("/dev/full"));
        Snapshot atMessage;
        rig.dialogs.onMessage = [&](const QString &) { atMessage = snapshot(w); };
        at(20000, &w, [&] { w.BUTstopRecord->click(); });   // in case it does not break off

        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));

        QCOMPARE(rig.dialogs.messages.size(), 1);
        QVERIFY2(rig.dialogs.messages[0].startsWith(QStringLiteral("The recording stopped: "))
                     && rig.dialogs.messages[0].contains(reason),
                 qPrintable(rig.dialogs.messages[0]));
        QVERIFY(atMessage.onAirShown);
        QVERIFY(w.BUTRecord->isEnabled());
        QVERIFY(!w.BUTstopRecord->isEnabled() && !w.BUTplay->isEnabled()
                && !w.BUTcompress->isEnabled() && !w.BUTsend->isEnabled());
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 1, 2, 0, 0, 0}));
        QCOMPARE(w.lblInstructions->text(), kStep4Text);
        QVERIFY(w.lblONAIR->isHidden());
        // what the camera left is not kept as if it were the clip
        QVERIFY(!QFileInfo::exists(rig.file(QStringLiteral("video.avi"))));
    }

    void playDuringASecondRecordingStopsItAndPlaysTheNewClip()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        at(1000, &w, [&] { w.BUTstopRecord->click(); });
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        struct stat first {};
        QCOMPARE(::stat(QFile::encodeName(rig.file("video.avi")).constData(), &first), 0);

        Snapshot during;
        at(1000, &w, [&] { during = snapshot(w); });
        at(1800, &w, [&] { QTest::mouseClick(w.BUTplay, Qt::LeftButton); });
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));

        QVERIFY(during.playEnabled && during.compressEnabled);
        QVERIFY(rig.dialogs.messages.isEmpty());
        verifyClipRecordedState(w);
        // a new file, not the first clip played back
        struct stat second {};
        QCOMPARE(::stat(QFile::encodeName(rig.file("video.avi")).constData(), &second), 0);
        QVERIFY(first.st_ino != second.st_ino || first.st_mtim.tv_nsec != second.st_mtim.tv_nsec);
        const capturetest::Clip clip = capturetest::probeClip(rig.file(QStringLiteral("video.avi")));
        QVERIFY2(clip.duration > 1.3 && clip.duration < 2.5, qPrintable(QString::number(clip.duration)));

        // the Record click's end steps left the player playing
        VideoView *view = playerView(w);
        QTRY_VERIFY_WITH_TIMEOUT(view->framesShown() > 0, 5000);
        const quint64 shown = view->framesShown();
        QTRY_VERIFY_WITH_TIMEOUT(view->framesShown() > shown + 5, 5000);
    }

    void recordResetsThePlayer()
    {
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        at(1000, &w, [&] { w.BUTstopRecord->click(); });
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        QTest::mouseClick(w.BUTplay, Qt::LeftButton);
        VideoView *view = playerView(w);
        QTRY_VERIFY_WITH_TIMEOUT(view->framesShown() > 3, 5000);

        view->resize(40, 30);
        quint64 shownWhenRecordingStarted = 0;
        at(500, &w, [&] { shownWhenRecordingStarted = view->framesShown(); });
        at(1200, &w, [&] { w.BUTstopRecord->click(); });
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        // the player let go of the clip before it was recorded again
        QVERIFY(view->framesShown() <= shownWhenRecordingStarted + 1);
        QCOMPARE(view->size(), QSize(259, 198));
        QVERIFY(capturetest::probeClip(rig.file(QStringLiteral("video.avi"))).readable);
    }

    void choosingADeviceSwitchesThePicture()
    {
        QVERIFY(testcamera::registerTestMicrophones(3, {MIRABO_TEST_DEVICE_MONITOR, 0}));
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        QCOMPARE(deviceEntries(w).size(), 3);
        w.mnuDevs[2]->trigger();
        QCOMPARE(rig.parts->capture().currentDevice(), 2);
        auto *live = w.findChild<VideoView *>(QStringLiteral("LiveVideoView"));
        QTRY_VERIFY_WITH_TIMEOUT(capturetest::isMostly(capturetest::centreColour(*live), 2), 5000);
        QVERIFY(rig.dialogs.messages.isEmpty());
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 0, 0, 0, 0, 0}));

        // the microphones under the cameras, the one in use marked: not the speakers' monitor
        QCOMPARE(w.mnuDevices->actions().mid(3),
                 QList<QAction *>({w.mnuMicsTitle, w.mnuMics[0], w.mnuMics[1]}));
        QCOMPARE(w.mnuMics[0]->text(), QStringLiteral("Monitor of Test Speakers"));
        QCOMPARE(w.mnuMics[1]->text(), QStringLiteral("Test Microphone"));
        QVERIFY(!w.mnuMics[0]->isChecked() && w.mnuMics[1]->isChecked());
        w.mnuMics[0]->trigger();
        QVERIFY(w.mnuMics[0]->isChecked() && !w.mnuMics[1]->isChecked());
        QCOMPARE(rig.parts->capture().currentMicrophone(), 0);
    }

    void camerasPluggedInAndOutWhileTheProgramRuns()
    {
        useTestDevices(2, 1);
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        const auto marked = [&w] {
            QStringList m;
            for (const QAction *a : w.mnuDevs)
                if (a->isChecked())
                    m << a->text();
            return m;
        };
        QCOMPARE(marked(), QStringList{"Test Camera"});
        w.mnuDevs[1]->trigger();
        QCOMPARE(marked(), QStringList{"Test Camera 2"});
        w.mnuDevs[1]->trigger();   // again: still the one
        QCOMPARE(marked(), QStringList{"Test Camera 2"});

        // another camera comes and one goes: the choice stays
        QCOMPARE(mirabo_test_devices_plug_camera(nullptr), 3);
        QTRY_COMPARE(deviceEntries(w), (QStringList{"Test Camera", "Test Camera 2", "Test Camera 3"}));
        QVERIFY(mirabo_test_devices_unplug_camera(1));
        QTRY_COMPARE(deviceEntries(w), (QStringList{"Test Camera 2", "Test Camera 3"}));
        QCOMPARE(marked(), QStringList{"Test Camera 2"});
        QCOMPARE(rig.parts->capture().currentDevice(), 0);
        QVERIFY(w.lblStatus->text().isEmpty());

        // the camera in use goes: the first one left takes over, and the status line says so
        QVERIFY(mirabo_test_devices_unplug_camera(2));
        QTRY_COMPARE(deviceEntries(w), QStringList{"Test Camera 3"});
        QCOMPARE(marked(), QStringList{"Test Camera 3"});
        QVERIFY2(w.lblStatus->text().contains("\"Test Camera 2\" was unplugged")
                     && w.lblStatus->text().contains("Test Camera 3"),
                 qPrintable(w.lblStatus->text()));
        auto *live = w.findChild<VideoView *>(QStringLiteral("LiveVideoView"));
        QTRY_VERIFY_WITH_TIMEOUT(capturetest::isMostly(capturetest::centreColour(*live), 2), 5000);

        // unplugged while recording: the recording breaks off, as when a camera fails
        at(1500, &w, [&] { mirabo_test_devices_unplug_camera(3); });
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        QVERIFY(clock.elapsed() < 8000);
        QCOMPARE(rig.dialogs.messages,
                 QStringList{"The recording stopped: the camera \"Test Camera 3\" was unplugged"});
        rig.dialogs.messages.clear();
        QCOMPARE(deviceEntries(w), QStringList{"dummy"});
        QCOMPARE(marked(), QStringList());
        QVERIFY(w.BUTRecord->isEnabled() && !w.BUTstopRecord->isEnabled() && !w.BUTplay->isEnabled());
        QCOMPARE(QApplication::focusWidget(), w.BUTRecord);

        // a camera plugged in when there is none is used at once
        QCOMPARE(mirabo_test_devices_plug_camera(nullptr), 1);
        QTRY_COMPARE(deviceEntries(w), QStringList{"Test Camera"});
        QCOMPARE(marked(), QStringList{"Test Camera"});
        const quint64 shown = live->framesShown();
        QTRY_VERIFY_WITH_TIMEOUT(live->framesShown() > shown + 5, 5000);
        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
    }

    void settingsDialogsOrTheirMessages()
    {
        // a camera without picture controls or formats to choose
        testcamera::Faults plain;
        plain.cameraWithoutControls = 1;
        useTestDevices(1, 0, plain);
        WindowRig rig;
        rig.storeTypicalSettings();
        frmMain &w = rig.start();
        w.mnuShowSource->trigger();
        w.mnuShowFormat->trigger();
        QCOMPARE(rig.dialogs.messages, (QStringList{QStringLiteral("Can't show those options"),
                                                    QStringLiteral("Can't Show those options")}));
        bool shown = false;
        closeNextModalDialog(&shown);
        w.mnuShowDisplay->trigger();
        QVERIFY(shown);

        // with no camera at all, nothing can be set
        useTestDevices(0, 0);
        WindowRig none;
        none.storeTypicalSettings();
        frmMain &n = none.start();
        none.dialogs.messages.clear();
        QTest::keyClick(&n, Qt::Key_F2);
        QTest::keyClick(&n, Qt::Key_F3);
        QTest::keyClick(&n, Qt::Key_F4);
        QCOMPARE(none.dialogs.messages, (QStringList{QStringLiteral("Can't Show those options"),
                                                     QStringLiteral("Can't Show those options"),
                                                     QStringLiteral("Can't show those options")}));

        // the test camera offers all three
        useTestDevices(1, 0);
        WindowRig full;
        full.storeTypicalSettings();
        frmMain &f = full.start();
        for (QAction *command : {f.mnuShowDisplay, f.mnuShowFormat, f.mnuShowSource}) {
            bool opened = false;
            closeNextModalDialog(&opened);
            command->trigger();
            QVERIFY2(opened, qPrintable(command->text()));
        }
        QVERIFY(full.dialogs.messages.isEmpty());
    }
};

QTEST_MAIN(TestWindowRecording)
#include "tst_window_recording.moc"
