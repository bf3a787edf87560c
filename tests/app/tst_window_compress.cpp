#include "CaptureTestSupport.h"
#include "WindowRig.h"

#include <QLabel>
#include <QRegularExpression>

using namespace windowtest;

namespace {

// Puts the window where a recording leaves it, with a clip in place.
void clipRecorded(WindowRig &rig, frmMain &w)
{
    QVERIFY(makeClip(rig.file(QStringLiteral("video.avi"))));
    w.BUTRecord->setEnabled(true);
    w.BUTplay->setEnabled(true);
    w.BUTcompress->setEnabled(true);
    w.LEDsteps[3]->setState(1);
    w.LEDsteps[4]->setState(2);
    w.lblInstructions->setText(kStep5Text);
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
        frmMain &w = rig.start();
        clipRecorded(rig, w);
        const QString before = QDir::currentPath();

        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);

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
        frmMain &w = rig.start();
        clipRecorded(rig, w);
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
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
        frmMain &w = rig.start();
        clipRecorded(rig, w);
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QFile args(rig.file(QStringLiteral("args.txt")));
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLocal8Bit(args.readAll()),
                 QDir(rig.programDir).canonicalPath() + "\n-e\n-s\n600\nvideo.avi\nmirabo.mpg\n");
        QVERIFY(w.BUTsend->isEnabled());
    }

    void aFailedCompressionIsReportedNotPassedOn_data()
    {
        QTest::addColumn<QByteArray>("encoder");   // empty: no encoder at all
        QTest::addColumn<bool>("sendWasEnabled");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("advice");
        const QString recordAgain = QStringLiteral("Record the video again");
        QTest::newRow("missing") << QByteArray() << false << QStringLiteral("could not be started")
                                 << QStringLiteral("install Mirabo again");
        QTest::newRow("fails") << QByteArray("echo 'avi2mpg1: bad input' >&2; exit 1\n") << false
                               << QStringLiteral("stopped with error 1 (bad input)") << recordAgain;
        QTest::newRow("writes nothing") << QByteArray("exit 0\n") << false
                                        << QStringLiteral("wrote no compressed video") << recordAgain;
        QTest::newRow("writes an empty file") << QByteArray(": > mirabo.mpg\n") << true
                                              << QStringLiteral("wrote no compressed video") << recordAgain;
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
        frmMain &w = rig.start();
        clipRecorded(rig, w);
        w.BUTsend->setEnabled(sendWasEnabled);
        bool indicatorHiddenAtMessage = false;
        rig.dialogs.onMessage = [&](const QString &) { indicatorHiddenAtMessage = w.lblONAIR->isHidden(); };

        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);

        QCOMPARE(rig.dialogs.messages.size(), 1);
        QVERIFY2(rig.dialogs.messages[0].startsWith(QStringLiteral("The video could not be compressed")),
                 qPrintable(rig.dialogs.messages[0]));
        QVERIFY2(rig.dialogs.messages[0].contains(reason), qPrintable(rig.dialogs.messages[0]));
        QVERIFY2(rig.dialogs.messages[0].contains(advice), qPrintable(rig.dialogs.messages[0]));
        QVERIFY(indicatorHiddenAtMessage);
        QVERIFY(w.LEDONAIR[0]->isHidden() && w.LEDONAIR[1]->isHidden());
        QCOMPARE(w.LEDsteps[4]->state(), 2);
        QCOMPARE(w.LEDsteps[5]->state(), 0);
        QCOMPARE(w.BUTsend->isEnabled(), sendWasEnabled);
        QCOMPARE(w.lblInstructions->text(), kStep5Text);
    }
};

QTEST_MAIN(TestWindowCompress)
#include "tst_window_compress.moc"
