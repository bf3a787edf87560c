#include "CaptureTestSupport.h"
#include "MailTestSupport.h"
#include "WindowRig.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QRegularExpression>
#include <QTimer>
#include <sys/stat.h>

using namespace windowtest;

namespace {

// Starts the window where a recording (and a compression, when given) left
// it, with the clip in place.
frmMain &startWithClip(WindowRig &rig, double seconds = 2.0, const QByteArray &compressed = QByteArray())
{
    if (!makeClip(rig.file(QStringLiteral("video.avi")), seconds))
        qWarning("no clip made");
    rig.leaveFiles(QByteArray(), compressed);
    frmMain &w = rig.start();
    w.LEDsteps[3]->setState(1);
    w.LEDsteps[4]->setState(2);
    w.lblInstructions->setText(kStep5Text);
    return w;
}

bool writeEncoder(const QString &path, const QByteArray &script)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write("#!/bin/sh\n" + script);
    f.close();
    return f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void at(int ms, QObject *context, std::function<void()> action)
{
    QTimer::singleShot(ms, Qt::PreciseTimer, context, std::move(action));
}

} // namespace

class TestWindowCompress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestDevices(1, 0); }

    void compressWithTheRealEncoderInAFolderWithASpace()
    {
        WindowRig rig(QStringLiteral("Program Files/Mirabo"));
        QVERIFY(rig.installEncoder());
        rig.storeTypicalSettings();
        frmMain &w = startWithClip(rig);
        const QString before = QDir::currentPath();

        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));

        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        QCOMPARE(w.lblInstructions->text(), kStep6Text);
        QCOMPARE(w.LEDsteps[4]->state(), 1);
        QCOMPARE(w.LEDsteps[5]->state(), 2);
        QVERIFY(w.BUTsend->isEnabled());
        QVERIFY(w.BUTRecord->isEnabled() && w.BUTplay->isEnabled() && w.BUTcompress->isEnabled());
        // the indicator was shown for encoding and is hidden again
        QVERIFY(w.lblONAIR->isHidden() && w.LEDONAIR[0]->isHidden() && w.LEDONAIR[1]->isHidden());
        QCOMPARE(w.lblONAIR->text(), QStringLiteral("ENCODING..."));
        QCOMPARE(w.LEDONAIR[0]->state(), 2);
        QCOMPARE(w.LEDONAIR[1]->state(), 2);
        QCOMPARE(QDir::currentPath(), QDir(rig.programDir).canonicalPath());
        QDir::setCurrent(before);

        const capturetest::Clip out = capturetest::probeClip(rig.file(QStringLiteral("mirabo.mpg")));
        QVERIFY(out.readable);
        QCOMPARE(out.ofType(QStringLiteral("video"))[0].value("codec_name").toString(), QStringLiteral("mpeg1video"));
        QCOMPARE(out.ofType(QStringLiteral("audio"))[0].value("codec_name").toString(), QStringLiteral("mp2"));
        // the status line gives the clip's length and size
        const QRegularExpression summary(QStringLiteral(R"(^mirabo\.mpg: (\d+\.\d) s, \d+(\.\d)? kB$)"));
        const auto match = summary.match(w.lblStatus->text());
        QVERIFY2(match.hasMatch(), qPrintable(w.lblStatus->text()));
        QVERIFY2(qAbs(match.captured(1).toDouble() - out.duration) <= 0.051, qPrintable(w.lblStatus->text()));
    }

    void statusLineWarnsOfAMessageOverTwentyMegabytes_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("warned");
        // base64 makes 14.6 MB about 19.98 MB of message, 14.7 MB about 20.1 MB
        QTest::newRow("14.6 MB") << qint64(14'600'000) << false;
        QTest::newRow("14.7 MB") << qint64(14'700'000) << true;
    }
    void statusLineWarnsOfAMessageOverTwentyMegabytes()
    {
        QFETCH(qint64, bytes);
        QFETCH(bool, warned);
        WindowRig rig;
        QVERIFY(writeEncoder(rig.file(QStringLiteral("avi2mpg1")),
                             QStringLiteral("head -c %1 /dev/zero > mirabo.mpg\n").arg(bytes).toLatin1()));
        rig.storeTypicalSettings();
        frmMain &w = startWithClip(rig);
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QVERIFY(rig.dialogs.messages.isEmpty());
        const QString text = w.lblStatus->text();
        QVERIFY2(text.startsWith(QStringLiteral("mirabo.mpg: %1 MB").arg(bytes / 1e6, 0, 'f', 1)), qPrintable(text));
        QCOMPARE(text.contains(QStringLiteral("over 20 MB")), warned);
        // within the status line as it is laid out
        QVERIFY2(w.lblStatus->fontMetrics().horizontalAdvance(text) <= w.lblStatus->width(), qPrintable(text));
        QCOMPARE(w.lblInstructions->text(), kStep6Text);
    }

    void encoderReceivesItsCommandLine()
    {
        WindowRig rig(QStringLiteral("my programs/Mirabo"));
        QVERIFY(writeEncoder(rig.file(QStringLiteral("avi2mpg1")),
                             "pwd > args.txt; for a in \"$@\"; do echo \"$a\" >> args.txt; done\n"
                             "printf 'mpeg' > mirabo.mpg\n"));
        rig.storeTypicalSettings();
        frmMain &w = startWithClip(rig);
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QFile args(rig.file(QStringLiteral("args.txt")));
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLocal8Bit(args.readAll()),
                 QDir(rig.programDir).canonicalPath() + "\n-e\n-s\n600\nvideo.avi\nmirabo.mpg\n");
        QVERIFY(w.BUTsend->isEnabled());
    }

    void compressDuringASecondRecordingSendsTheWholeRecording()
    {
        useTestDevices(1, 1);
        mailtest::LocalSmtpServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        QVERIFY(rig.installEncoder());
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = rig.start();
        w.txtEmailTo->setText(QStringLiteral("bob@example.org"));
        at(1000, &w, [&] { w.BUTstopRecord->click(); });
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QVERIFY(w.BUTsend->isEnabled());

        // Compress clicked three seconds into the next recording
        bool sendEnabledWhileRecording = true;
        at(500, &w, [&] { sendEnabledWhileRecording = w.BUTsend->isEnabled(); });
        at(3000, &w, [&] { QTest::mouseClick(w.BUTcompress, Qt::LeftButton); });
        at(8000, &w, [&] { w.BUTstopRecord->click(); });   // should it still record
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.session().stage() == Stage::Compressed, 30000);

        QVERIFY(!sendEnabledWhileRecording);
        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        // the recording ended first; the compressed clip is the one to send
        QVERIFY(!w.BUTstopRecord->isEnabled() && w.BUTsend->isEnabled());
        QVERIFY(w.lblONAIR->isHidden());
        QCOMPARE(lampStates(w).mid(3, 3), (QList<int>{1, 1, 2}));
        QCOMPARE(w.lblInstructions->text(), kStep6Text);
        const double recorded = capturetest::probeClip(rig.file(QStringLiteral("video.avi"))).duration;
        QVERIFY2(recorded > 1.5, qPrintable(QString::number(recorded)));
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), QStringLiteral("Video Email Sent Successfully"), 30000);
        const QString received = rig.dir.filePath(QStringLiteral("received.mpg"));
        mailtest::inspect(server.received().value(0), received);
        const double sent = capturetest::probeClip(received).duration;
        QVERIFY2(qAbs(sent - recorded) < 0.3, qPrintable(QStringLiteral("%1 of %2 s").arg(sent).arg(recorded)));
    }

    // For phones: the same steps make and deliver an MP4, which goes like the rest.
    void phonesGetAnMp4()
    {
        mailtest::LocalSmtpServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        QVERIFY(rig.installEncoder());
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startWithClip(rig);
        w.mnuPhoneVideo->trigger();
        QCOMPARE(rig.stored(QStringLiteral("PhoneVideo")), QStringLiteral("1"));
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        QVERIFY2(w.lblStatus->text().startsWith(QStringLiteral("mirabo.mp4: ")), qPrintable(w.lblStatus->text()));
        QVERIFY(!QFile::exists(rig.file(QStringLiteral("mirabo.mpg"))));

        w.txtEmailTo->setText(QStringLiteral("bob@example.org"));
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), QStringLiteral("Video Email Sent Successfully"), 30000);
        const QString received = rig.dir.filePath(QStringLiteral("received.mp4"));
        const QJsonObject m = mailtest::inspect(server.received().value(0), received);
        const QJsonObject a = m.value("attachments").toArray().at(0).toObject();
        QCOMPARE(a.value("filename").toString(), QStringLiteral("mirabo.mp4"));
        QCOMPARE(a.value("content_type").toString(), QStringLiteral("video/mp4"));
        QCOMPARE(capturetest::probeClip(received).ofType(QStringLiteral("video"))[0].value("codec_name").toString(),
                 QStringLiteral("h264"));
        for (const char *name : {"video.avi", "mirabo.mp4", "message.msg"})
            QVERIFY2(!QFile::exists(rig.file(QString::fromLatin1(name))), name);
        QVERIFY(rig.start().mnuPhoneVideo->isChecked());
    }

    void inputDuringCompressionIsDroppedNotQueued()
    {
        WindowRig rig;
        QVERIFY(rig.installEncoder());
        rig.storeTypicalSettings();
        frmMain &w = startWithClip(rig, 8.0);
        struct stat clip {};
        QCOMPARE(::stat(QFile::encodeName(rig.file("video.avi")).constData(), &clip), 0);

        // clicks and keys as a person gives them, while the indicator says ENCODING...
        bool given = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &w, [&] {
            if (given || w.lblONAIR->isHidden())
                return;
            given = true;
            const QPoint record = w.BUTRecord->mapTo(&w, w.BUTRecord->rect().center());
            QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {}, record);
            QTest::keyClick(w.windowHandle(), Qt::Key_F5);
            QTest::keyClick(w.windowHandle(), Qt::Key_Space);
        });
        poll.start(10);
        at(10000, &w, [&] { w.BUTstopRecord->click(); });   // should a recording start after all
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QTest::qWait(100);

        // the window went on (the timer ran while the encoder did) and nothing else started
        QVERIFY(given);
        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        QCOMPARE(w.lblInstructions->text(), kStep6Text);
        QVERIFY(w.BUTsend->isEnabled() && !w.BUTstopRecord->isEnabled());
        QCOMPARE(w.mnuEmailSettings->text(), QStringLiteral("Show Email Settings"));
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(rig.file("video.avi")).constData(), &after), 0);
        QVERIFY(after.st_ino == clip.st_ino && after.st_mtim.tv_nsec == clip.st_mtim.tv_nsec);
        QVERIFY(capturetest::probeClip(rig.file(QStringLiteral("mirabo.mpg"))).readable);
    }

    void aFailedCompressionIsReportedNotPassedOn_data()
    {
        QTest::addColumn<QByteArray>("encoder");   // empty: no encoder at all
        QTest::addColumn<bool>("sendWasEnabled");   // sent after: as before, unless said
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("advice");
        const QString recordAgain = QStringLiteral("Record the video again");
        QTest::newRow("missing") << QByteArray() << false << QStringLiteral("could not be started")
                                 << QStringLiteral("install Mirabo again");
        QTest::newRow("fails") << QByteArray("echo 'avi2mpg1: bad input' >&2; exit 1\n") << false
                               << QStringLiteral("stopped with error 1 (bad input)") << recordAgain;
        QTest::newRow("writes nothing") << QByteArray("exit 0\n") << false
                                        << QStringLiteral("wrote no compressed video") << recordAgain;
        // the compressed clip made before is gone, and Send with it
        QTest::newRow("writes an empty file") << QByteArray(": > mirabo.mpg\n") << true
                                              << QStringLiteral("wrote no compressed video") << recordAgain;
        // the one made before is still there and still fits the clip
        QTest::newRow("fails, leaving the earlier one")
            << QByteArray("echo 'avi2mpg1: cannot open video.avi: Input/output error' >&2; exit 1\n")
            << true << QStringLiteral("Input/output error") << recordAgain;
        // the last line of the error output is the reason, and the advice fits it
        QTest::newRow("disk full")
            << QByteArray("echo 'avi2mpg1: starting' >&2\n"
                          "echo 'avi2mpg1: cannot write mirabo.mpg: No space left on device' >&2; exit 1\n")
            << false << QStringLiteral("(cannot write mirabo.mpg: No space left on device)")
            << QStringLiteral("free some space on the disk");
        QTest::newRow("folder not writable")
            << QByteArray("echo 'avi2mpg1: cannot write mirabo.mpg: Permission denied' >&2; exit 1\n")
            << false << QStringLiteral("Permission denied") << QStringLiteral("cannot write in its folder");
        QTest::newRow("clip unreadable")
            << QByteArray("echo 'avi2mpg1: cannot open video.avi: Permission denied' >&2; exit 1\n")
            << false << QStringLiteral("(cannot open video.avi: Permission denied)") << recordAgain;
    }
    void aFailedCompressionIsReportedNotPassedOn()
    {
        QFETCH(QByteArray, encoder);
        QFETCH(bool, sendWasEnabled);
        QFETCH(QString, reason);
        QFETCH(QString, advice);
        WindowRig rig;
        if (!encoder.isEmpty())
            QVERIFY(writeEncoder(rig.file(QStringLiteral("avi2mpg1")), encoder));
        rig.storeTypicalSettings();
        frmMain &w = startWithClip(rig, 2.0, sendWasEnabled ? QByteArray("mpeg") : QByteArray());
        QCOMPARE(w.BUTsend->isEnabled(), sendWasEnabled);
        bool indicatorHiddenAtMessage = false;
        rig.dialogs.onMessage = [&](const QString &) { indicatorHiddenAtMessage = w.lblONAIR->isHidden(); };

        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));

        QCOMPARE(rig.dialogs.messages.size(), 1);
        QVERIFY2(rig.dialogs.messages[0].startsWith(QStringLiteral("The video could not be compressed")),
                 qPrintable(rig.dialogs.messages[0]));
        QVERIFY2(rig.dialogs.messages[0].contains(reason), qPrintable(rig.dialogs.messages[0]));
        QVERIFY2(rig.dialogs.messages[0].contains(advice), qPrintable(rig.dialogs.messages[0]));
        QVERIFY(indicatorHiddenAtMessage);
        QVERIFY(w.LEDONAIR[0]->isHidden() && w.LEDONAIR[1]->isHidden());
        QCOMPARE(w.LEDsteps[4]->state(), 2);
        QCOMPARE(w.LEDsteps[5]->state(), 0);
        QCOMPARE(w.BUTsend->isEnabled(), sendWasEnabled && QFileInfo(rig.file("mirabo.mpg")).size() > 0);
        QCOMPARE(w.lblInstructions->text(), kStep5Text);
    }
};

QTEST_MAIN(TestWindowCompress)
#include "tst_window_compress.moc"
