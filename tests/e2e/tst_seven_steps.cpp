// The whole program, wired as main() wires it, in one window: the first-run
// questions, then three rounds of the seven steps by keys and clicks. The
// first two messages are read back as the recipient would; the server refuses
// the third.

#include "CaptureTestSupport.h"
#include "MailTestSupport.h"
#include "WindowRig.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QTimer>

using namespace windowtest;
using mailtest::LocalSmtpServer;

namespace {

const QString kSent = QStringLiteral("Video Email Sent Successfully");

struct Delivered
{
    QJsonObject message;
    capturetest::Clip attachment;
};

Delivered readAsTheRecipient(const QString &messagePath, const QString &scratch)
{
    const QString clip = scratch + QStringLiteral("/received.mpg");
    Delivered d;
    d.message = mailtest::inspect(messagePath, clip);
    d.attachment = capturetest::probeClip(clip);
    return d;
}

QString bodyOf(const QJsonObject &message)
{
    const QJsonArray texts = message.value("texts").toArray();
    return QString::fromUtf8(QByteArray::fromBase64(texts.first().toObject().value("bytes").toString().toLatin1()));
}

// Saves what the user sees when MIRABO_SCREENSHOTS names a folder.
void screenshot(QWidget &w, const char *name)
{
    const QString folder = qEnvironmentVariable("MIRABO_SCREENSHOTS");
    if (!folder.isEmpty())
        w.grab().save(folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
}

} // namespace

class TestSevenSteps : public QObject
{
    Q_OBJECT

    // Steps 4 and 5: records for `seconds`, plays the clip back, compresses it.
    // `recorded` gets the recorded clip's length.
    void recordAndCompress(WindowRig &rig, frmMain &w, double seconds, bool pictures, double *recorded)
    {
        // Step 4: record, then stop. The seconds count from when the status
        // line says it records: on a busy machine the start alone can take
        // a large part of a second.
        QTimer stopper;
        stopper.setSingleShot(true);
        stopper.setTimerType(Qt::PreciseTimer);
        connect(&stopper, &QTimer::timeout, &w, [&] {
            if (pictures)
                screenshot(w, "2-recording");
            QTest::mouseClick(w.BUTstopRecord, Qt::LeftButton);
        });
        QTimer begun;
        connect(&begun, &QTimer::timeout, &w, [&] {
            if (w.lblStatus->text().startsWith(QLatin1String("Recording"))) {
                begun.stop();
                stopper.start(int(seconds * 1000));
            }
        });
        begun.start(5);
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        QCOMPARE(lampStates(w).mid(3, 2), (QList<int>{1, 2}));
        QVERIFY(rig.dialogs.messages.isEmpty());
        *recorded = capturetest::probeClip(rig.file(QStringLiteral("video.avi"))).duration;

        // Step 5: play it back, then compress it
        QTest::mouseClick(w.BUTplay, Qt::LeftButton);
        auto *player = w.findChild<VideoView *>(QStringLiteral("PlayerView"));
        QTRY_VERIFY_WITH_TIMEOUT(player->framesShown() > 5, 10000);
        if (pictures)
            QTimer::singleShot(0, &w, [&] { screenshot(w, "3-encoding"); });
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        QCOMPARE(w.lblInstructions->text(), kStep6Text);
        QVERIFY(w.BUTsend->isEnabled());
    }

    void typeRecipientAndSubject(frmMain &w, const QString &to, const QString &subject)
    {
        // Steps 2 and 3: type, TAB, type, TAB
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);
        QTest::keyClicks(w.txtEmailTo, to);
        QTest::keyClick(w.txtEmailTo, Qt::Key_Tab);
        QTest::keyClicks(w.txtEmailSubject, subject);
        QTest::keyClick(w.txtEmailSubject, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.BUTRecord);
        QCOMPARE(w.lblInstructions->text(), kStep4Text);
    }

private slots:
    void initTestCase() { useTestDevices(1, 1); }

    void sevenStepsThreeRounds()
    {
        const QString refused = QStringLiteral("nobody@example.org");
        LocalSmtpServer server({QStringLiteral("--refuse-recipient"), refused});
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        QVERIFY(rig.installEncoder());

        // Step 1: the first run asks for the settings
        rig.dialogs.answers = {QStringLiteral("Ann@Example.com"), QStringLiteral("Ann Smith"),
                               server.hostAndPort(QStringLiteral("127.0.0.1")), QString(), QString()};
        frmMain &w = rig.start();
        QCOMPARE(rig.dialogs.messages.size(), 2);
        rig.dialogs.messages.clear();
        QCOMPARE(w.txtEmailFrom->text(), QStringLiteral("\"Ann Smith\" ann@example.com"));
        screenshot(w, "1-start-up");
        w.mnuEmailSettings->trigger();
        screenshot(w, "1-settings-panel");
        w.mnuEmailSettings->trigger();

        // Round one
        typeRecipientAndSubject(w, QStringLiteral("bob@example.org"), QStringLiteral("Our holiday"));
        double recorded = 0;
        recordAndCompress(rig, w, 3.0, true, &recorded);
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);   // steps 6 and 7
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 30000);
        screenshot(w, "4-sent");
        QVERIFY(rig.dialogs.messages.isEmpty());

        QCOMPARE(server.received().size(), 1);
        const Delivered first = readAsTheRecipient(server.received()[0], rig.dir.path());
        QCOMPARE(first.message.value("defects").toArray().size(), 0);
        QCOMPARE(first.message.value("subject").toString(), QStringLiteral("Mirabo: Our holiday"));
        QCOMPARE(first.message.value("x_mailer").toString(), QStringLiteral("Mirabo v1.00 By Dorvale"));
        QCOMPARE(first.message.value("from").toString(), QStringLiteral("ann@example.com"));
        QCOMPARE(first.message.value("to").toString(), QStringLiteral("bob@example.org"));
        QVERIFY(bodyOf(first.message).startsWith(
            QStringLiteral("There is a MPEG Video attachment to this email from Ann Smith, double-click")));
        QVERIFY(bodyOf(first.message).endsWith(
            QStringLiteral("\r\n\r\nThis email was sent using Mirabo v1.00\r\nFreeware Video Emailer\r\n")));
        QCOMPARE(first.message.value("attachments").toArray().size(), 1);
        QVERIFY(first.attachment.readable);
        QCOMPARE(first.attachment.ofType("video").value(0).value("codec_name").toString(), QStringLiteral("mpeg1video"));
        QCOMPARE(first.attachment.ofType("audio").value(0).value("codec_name").toString(), QStringLiteral("mp2"));
        // As long as the user recorded, and all of it delivered
        QVERIFY2(qAbs(recorded - 3.0) < 0.5, qPrintable(QString::number(recorded)));
        QVERIFY2(qAbs(first.attachment.duration - recorded) < 0.2,
                 qPrintable(QStringLiteral("%1 of %2").arg(first.attachment.duration).arg(recorded)));

        // back at the start-up picture, the working files gone
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 0, 0, 0, 0, 0}));
        QVERIFY(w.txtEmailTo->text().isEmpty() && w.txtEmailSubject->text().isEmpty());
        QCOMPARE(w.PROsending->value(), 0);
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            QVERIFY2(!QFile::exists(rig.file(QLatin1String(name))), name);
        // and nothing holds them open (the player played the clip)
        for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            QVERIFY2(!(fd.symLinkTarget().startsWith(rig.programDir) && fd.symLinkTarget().endsWith(" (deleted)")),
                     qPrintable(fd.symLinkTarget()));

        // Round two, same window
        typeRecipientAndSubject(w, QStringLiteral("carol@example.org"), QStringLiteral("Again"));
        recordAndCompress(rig, w, 2.0, false, &recorded);
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 30000);
        QCOMPARE(server.received().size(), 2);
        const Delivered second = readAsTheRecipient(server.received()[1], rig.dir.path());
        QCOMPARE(second.message.value("subject").toString(), QStringLiteral("Mirabo: Again"));
        QCOMPARE(second.message.value("to").toString(), QStringLiteral("carol@example.org"));
        QVERIFY2(qAbs(recorded - 2.0) < 0.5, qPrintable(QString::number(recorded)));
        QVERIFY2(qAbs(second.attachment.duration - recorded) < 0.2,
                 qPrintable(QStringLiteral("%1 of %2").arg(second.attachment.duration).arg(recorded)));

        // Round three: the server refuses the recipient
        typeRecipientAndSubject(w, refused, QStringLiteral("Nobody home"));
        recordAndCompress(rig, w, 1.5, false, &recorded);
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dialogs.messages.isEmpty(), 30000);
        QCOMPARE(rig.dialogs.messages, QStringList{QStringLiteral("Could not Send Video Message - Error 550")});
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            QVERIFY2(QFile::exists(rig.file(QLatin1String(name))), name);
        QCOMPARE(lampStates(w).mid(5), (QList<int>{1, 2}));
        QCOMPARE(server.received().size(), 2);
    }

    void keysAloneFromTheSettingsToADeliveredMessage()
    {
        LocalSmtpServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        QVERIFY(rig.installEncoder());
        rig.storeSettings({{"EmailAddress", "ann@example.com"}, {"FullName", "Ann Smith"},
                           {"SMTP", "wrong.invalid"}, {"UserName", ""}, {"Password", ""}});
        frmMain &w = rig.start();
        const auto key = [&w](Qt::Key k, Qt::KeyboardModifiers modifiers = {}) {
            QWidget *focus = QApplication::focusWidget();
            QTest::keyClick(focus ? focus : &w, k, modifiers);
        };
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailTo);

        // F5, back round to the server box, put it right, F5 again
        QTest::keyClick(&w, Qt::Key_F5);
        for (int i = 0; i < 4; ++i)
            key(Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), w.txtDetails[2]);
        key(Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(w.txtDetails[2], server.hostAndPort(QStringLiteral("127.0.0.1")));
        QTest::keyClick(&w, Qt::Key_F5);
        key(Qt::Key_Tab);
        key(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.txtEmailTo);

        // Steps 2 and 3
        QTest::keyClicks(w.txtEmailTo, QStringLiteral("bob@example.org"));
        key(Qt::Key_Tab);
        QTest::keyClicks(w.txtEmailSubject, QStringLiteral("By keys"));
        key(Qt::Key_Tab);
        // Step 4: Space records, Enter on Stop Recording ends it
        QTimer::singleShot(2500, Qt::PreciseTimer, &w, [&] { key(Qt::Key_Return); });
        key(Qt::Key_Space);
        QVERIFY(settles(w));
        QCOMPARE(QApplication::focusWidget(), w.BUTplay);
        // Step 5: play it, then compress it
        key(Qt::Key_Return);
        key(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.BUTcompress);
        key(Qt::Key_Space);
        QVERIFY(settles(w));
        QCOMPARE(w.lblInstructions->text(), kStep6Text);
        // Steps 6 and 7
        const double recorded = capturetest::probeClip(rig.file(QStringLiteral("video.avi"))).duration;
        key(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w.BUTsend);
        key(Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 30000);

        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        QCOMPARE(server.received().size(), 1);
        const Delivered d = readAsTheRecipient(server.received()[0], rig.dir.path());
        QCOMPARE(d.message.value("to").toString(), QStringLiteral("bob@example.org"));
        QCOMPARE(d.message.value("subject").toString(), QStringLiteral("Mirabo: By keys"));
        QVERIFY2(recorded > 1.0 && qAbs(d.attachment.duration - recorded) < 0.3,
                 qPrintable(QStringLiteral("%1 of %2 s").arg(d.attachment.duration).arg(recorded)));
    }
};

QTEST_MAIN(TestSevenSteps)
#include "tst_seven_steps.moc"
