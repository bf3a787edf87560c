#include "MailTestSupport.h"
#include "CurlSmtpComponent.h"
#include "WindowRig.h"

#include <QFileInfo>
#include <QAbstractItemView>
#include <QCompleter>
#include <QJsonArray>
#include <QStringListModel>
#include <QLabel>
#include <QTimer>
#include <chrono>

using namespace std::chrono_literals;
using namespace windowtest;
using mailtest::LocalSmtpServer;

namespace {

const QString kSent = QStringLiteral("Video Email Sent Successfully");
const QString kNoConnection = QStringLiteral(
    "Could not connect to your SMTP Mail Server, check the name is correct, then try again");
const QString kRecipient = QStringLiteral("bob@example.org");

QString expectedBody(const QString &fullName)
{
    return QStringLiteral("There is a MPEG Video attachment to this email from ") + fullName
           + QStringLiteral(", double-click / open it to play it\r\n"
                            "If you have a webcam or other video input device, download a free copy "
                            "of 'Mirabo' today at https://mirabo.example.org/download\r\n"
                            "\r\n"
                            "This email was sent using Mirabo v1.00\r\n"
                            "Freeware Video Emailer\r\n");
}

// The window with the two files that recording and compression leave.
frmMain &startReady(WindowRig &rig)
{
    rig.leaveFiles("RIFF....AVI ", mailtest::randomBytes(300 * 1024));
    return rig.start();
}

// The window at step 6, its boxes filled in.
void fillIn(frmMain &w, const QString &subject = QStringLiteral("Hello Bob"))
{
    w.txtEmailTo->setText(kRecipient);
    w.txtEmailSubject->setText(subject);
    for (int i = 0; i < 7; ++i)
        w.LEDsteps[i]->setState(i < 5 ? 1 : (i == 5 ? 2 : 0));
    QVERIFY(w.BUTsend->isEnabled());
}

bool allWorkingFilesThere(const WindowRig &rig)
{
    return QFile::exists(rig.file(QStringLiteral("video.avi")))
           && QFile::exists(rig.file(QStringLiteral("mirabo.mpg")))
           && QFile::exists(rig.file(QStringLiteral("message.msg")));
}

} // namespace

class TestWindowSending : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useTestDevices(1, 0); }

    void successResetsTheWindowForTheNextMessage()
    {
        LocalSmtpServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startReady(rig);
        fillIn(w, QStringLiteral("Grüße from Ann"));
        const QByteArray clip = mailtest::readFile(rig.file(QStringLiteral("mirabo.mpg")));
        QList<int> progress;
        connect(&rig.parts->smtp(), &SmtpComponent::progress, this,
                [&](qint64, qint64, int16_t percent) { progress << percent; });
        QString instructionWhileSending;
        connect(&rig.parts->smtp(), &SmtpComponent::progress, this,
                [&] { instructionWhileSending = w.lblInstructions->text(); });

        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);

        QVERIFY(rig.dialogs.messages.isEmpty());
        QCOMPARE(instructionWhileSending, QStringLiteral("Sending your Video email to ") + kRecipient);
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last(), 100);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            QVERIFY2(!QFile::exists(rig.file(QString::fromLatin1(name))), name);
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 0, 0, 0, 0, 0}));
        QCOMPARE(w.txtEmailTo->text(), QString());
        QCOMPARE(w.txtEmailSubject->text(), QString());
        QCOMPARE(w.PROsending->value(), 0);
        QCOMPARE(QApplication::focusWidget(), w.txtEmailTo);
        QCOMPARE(w.txtEmailFrom->text(), QStringLiteral("\"Ann Smith\" ann@example.com"));
        // the files are gone: only a new recording can go on from here
        QVERIFY(w.BUTRecord->isEnabled());
        QVERIFY(!w.BUTplay->isEnabled() && !w.BUTcompress->isEnabled() && !w.BUTsend->isEnabled());

        const QStringList received = server.received();
        QCOMPARE(received.size(), 1);
        const QJsonObject m = mailtest::inspect(received[0]);
        QCOMPARE(m.value("defects").toArray().size(), 0);
        QCOMPARE(m.value("from").toString(), QStringLiteral("ann@example.com"));
        QCOMPARE(m.value("to").toString(), kRecipient);
        QCOMPARE(m.value("subject").toString(), QStringLiteral("Mirabo: Grüße from Ann"));
        QCOMPARE(m.value("x_mailer").toString(), QStringLiteral("Mirabo v1.00 By Dorvale"));
        const QJsonArray texts = m.value("texts").toArray();
        QCOMPARE(texts.size(), 1);
        QCOMPARE(QByteArray::fromBase64(texts[0].toObject().value("bytes").toString().toLatin1()),
                 expectedBody(QStringLiteral("Ann Smith")).toUtf8());
        const QJsonArray attachments = m.value("attachments").toArray();
        QCOMPARE(attachments.size(), 1);
        const QJsonObject a = attachments[0].toObject();
        QCOMPARE(a.value("filename").toString(), QStringLiteral("mirabo.mpg"));
        QCOMPARE(a.value("content_type").toString(), QStringLiteral("video/mpeg"));
        QCOMPARE(a.value("sha256").toString(), mailtest::sha256Hex(clip));
    }

    void workingFilesAreNeverWrittenThroughALink_data()
    {
        QTest::addColumn<bool>("dangling");
        QTest::newRow("links to files outside") << false;
        QTest::newRow("dangling links") << true;
    }
    void workingFilesAreNeverWrittenThroughALink()
    {
        QFETCH(bool, dangling);
        LocalSmtpServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        QVERIFY(rig.installEncoder());
        rig.storeTypicalSettings(server.hostAndPort());
        const QDir outside(rig.dir.filePath(QStringLiteral("outside")));
        QVERIFY(outside.mkpath(QStringLiteral(".")));
        const QStringList names = {QStringLiteral("video.avi"), QStringLiteral("mirabo.mpg"),
                                   QStringLiteral("message.msg")};
        const auto notes = [](const QString &name) { return "my own notes, not " + name.toUtf8(); };
        for (const QString &name : names) {
            if (!dangling)
                mailtest::writeFile(outside.filePath(name), notes(name));
            QVERIFY(QFile::link(outside.filePath(name), rig.file(name)));
        }
        const QStringList outsideBefore = outside.entryList(QDir::Files);

        frmMain &w = rig.start();
        w.txtEmailTo->setText(kRecipient);
        w.txtEmailSubject->setText(QStringLiteral("Links"));
        QTimer::singleShot(1500, &w, [&] { w.BUTstopRecord->click(); });
        QTest::mouseClick(w.BUTRecord, Qt::LeftButton);
        QVERIFY(settles(w));
        QTest::mouseClick(w.BUTcompress, Qt::LeftButton);
        QVERIFY(settles(w));
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 30000);

        QVERIFY2(rig.dialogs.messages.isEmpty(), qPrintable(rig.dialogs.messages.join('\n')));
        QCOMPARE(server.received().size(), 1);
        QCOMPARE(outside.entryList(QDir::Files), outsideBefore);
        for (const QString &name : names) {
            if (!dangling)
                QCOMPARE(mailtest::readFile(outside.filePath(name)), notes(name));
            // the program's own files went after the delivery
            QVERIFY2(!QFileInfo(rig.file(name)).exists() && !QFileInfo(rig.file(name)).isSymLink(),
                     qPrintable(name));
        }
    }

    void recipientsOfDeliveriesAreOfferedAgain()
    {
        LocalSmtpServer server({QStringLiteral("--refuse-recipient"), QStringLiteral("eve@example.org")});
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        // ten kept already, the oldest last; a damaged entry is passed over
        QStringList kept;
        for (int i = 1; i <= 10; ++i)
            kept << QStringLiteral("friend%1@example.net").arg(i);
        rig.storeSettings({{"RecentRecipients", "Bob@Example.org bad,entry " + kept.join(' ')}});
        frmMain &w = startReady(rig);
        QCompleter *completer = w.txtEmailTo->completer();
        QVERIFY(completer);
        const auto offered = [&] {
            return qobject_cast<QStringListModel *>(completer->model())->stringList();
        };
        QCOMPARE(offered(), QStringList{"Bob@Example.org"} + kept.mid(0, 9));

        // a failed delivery is not remembered
        fillIn(w);
        w.txtEmailTo->setText(QStringLiteral("eve@example.org"));
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dialogs.messages.isEmpty(), 30000);
        QCOMPARE(offered().first(), QStringLiteral("Bob@Example.org"));
        QVERIFY(!rig.stored(QStringLiteral("RecentRecipients")).contains(QStringLiteral("eve@")));

        // a delivery puts its recipient first, once, and keeps ten
        fillIn(w);
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);
        const QStringList now = QStringList{kRecipient} + kept.mid(0, 9);
        QCOMPARE(offered(), now);
        QCOMPARE(rig.stored(QStringLiteral("RecentRecipients")), now.join(' '));

        // offered as the user types; TAB from the list still leads on to the subject
        QTest::keyClicks(w.txtEmailTo, QStringLiteral("FRIEND1"));
        QTRY_VERIFY(completer->popup()->isVisible());
        QCOMPARE(completer->completionCount(), 1);   // friend10@ is no longer kept
        QTest::keyClick(completer->popup(), Qt::Key_Tab);
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailSubject);
        QCOMPARE(w.LEDsteps[2]->state(), 2);

        // a click elsewhere closes the list and still does what it was for
        w.txtEmailTo->setFocus();
        w.txtEmailTo->clear();
        QTest::keyClicks(w.txtEmailTo, QStringLiteral("bo"));
        QTRY_VERIFY(completer->popup()->isVisible());
        QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {},
                          w.txtEmailSubject->mapTo(&w, w.txtEmailSubject->rect().center()));
        QTRY_VERIFY(!completer->popup()->isVisible());
        QTRY_COMPARE(QApplication::focusWidget(), w.txtEmailSubject);
    }

    void panelChangesAreUsedByTheNextSend()
    {
        LocalSmtpServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        rig.storeTypicalSettings(QStringLiteral("wrong.invalid"));
        frmMain &w = startReady(rig);
        fillIn(w);
        w.txtDetails[0]->setText(QStringLiteral("carol@example.net"));
        w.txtDetails[1]->setText(QStringLiteral("Carol"));
        w.txtDetails[2]->setText(server.hostAndPort(QStringLiteral("127.0.0.1")));

        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);
        const QJsonObject m = mailtest::inspect(server.received().value(0));
        QCOMPARE(m.value("from").toString(), QStringLiteral("carol@example.net"));
        QCOMPARE(QByteArray::fromBase64(m.value("texts").toArray()[0].toObject().value("bytes").toString().toLatin1()),
                 expectedBody(QStringLiteral("Carol")).toUtf8());
        // the sender box still shows the start-up values
        QCOMPARE(w.txtEmailFrom->text(), QStringLiteral("\"Ann Smith\" ann@example.com"));
    }

    // After a delivery the recipient is kept for next time; a store that
    // cannot keep it says so, rather than losing later changes unseen.
    void aRecipientThatCannotBeKeptIsTold()
    {
        LocalSmtpServer server;
        QVERIFY(server.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        rig.leaveFiles("RIFF....AVI ", "mpeg");
        FailingStore store(rig.settingsPath);
        frmMain &w = rig.start(nullptr, &store);
        fillIn(w);
        store.failing = true;
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);
        QCOMPARE(rig.dialogs.messages,
                 QStringList{QStringLiteral("Could not save the setting RecentRecipients: the disk is full")});
    }

    void connectionProblemsGiveTheConnectMessage_data()
    {
        QTest::addColumn<QString>("smtpSetting");
        QTest::addColumn<QStringList>("serverOptions");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("statusLine"); // the reason with the code, whole
        QTest::newRow("unknown server") << QStringLiteral("smtp.nowhere.invalid") << QStringList() << QString()
                                        << QStringLiteral("The server name smtp.nowhere.invalid could not be found (-1)");
        QTest::newRow("nothing listening") << QStringLiteral("127.0.0.1:1") << QStringList() << QString()
                                           << QStringLiteral("127.0.0.1 port 1 refused the connection (-2)");
        QTest::newRow("wrong password")
            << QString() << QStringList{QStringLiteral("--user"), QStringLiteral("ann"),
                                        QStringLiteral("--password"), QStringLiteral("right")}
            << QStringLiteral("ann") << QStringLiteral("localhost refused the user name or password: 535 5.7.8 Authentication credentials invalid (535)");
        // a line break in a setting never reaches the server
        QTest::newRow("line break in the server name") << QStringLiteral("localhost\r\nRSET") << QStringList() << QString()
                                                       << QStringLiteral("The SMTP server \"localhost RSET\" is not a host name with an optional :port (-7)");
    }
    void connectionProblemsGiveTheConnectMessage()
    {
        QFETCH(QString, smtpSetting);
        QFETCH(QStringList, serverOptions);
        QFETCH(QString, userName);
        QFETCH(QString, statusLine);
        LocalSmtpServer server(serverOptions);
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        rig.storeTypicalSettings(smtpSetting.isEmpty() ? server.hostAndPort() : smtpSetting);
        rig.storeSettings({{"UserName", userName}, {"Password", "wrong"}});
        frmMain &w = startReady(rig);
        fillIn(w);
        if (smtpSetting.contains('\n'))
            w.txtDetails[2]->setText(smtpSetting);

        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dialogs.messages.isEmpty(), 30000);
        QCOMPARE(rig.dialogs.messages, QStringList{kNoConnection});
        QCOMPARE(w.LEDsteps[5]->state(), 1);
        QCOMPARE(w.LEDsteps[6]->state(), 2);
        QCOMPARE(w.lblInstructions->text(), QStringLiteral("Sending your Video email to ") + kRecipient);
        // cut short where the line is too narrow, but always with its code
        QCOMPARE(w.lblStatus->toolTip(), statusLine);
        QVERIFY(w.lblStatus->text().endsWith(statusLine.mid(statusLine.lastIndexOf(QLatin1Char(' ')))));
        QVERIFY(allWorkingFilesThere(rig));
        QVERIFY(server.received().isEmpty());
    }

    void tlsIsRequiredAwayFromThisMachine()
    {
        // a server that offers no TLS, reached under a name that is not loopback
        LocalSmtpServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort(QStringLiteral("mail.test.example")));
        frmMain &w = startReady(rig);
        rig.parts->smtp().routeHost(QStringLiteral("mail.test.example"), QStringLiteral("127.0.0.1"));
        rig.parts->smtp().setTimeout(20s);
        fillIn(w);
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(rig.dialogs.messages, QStringList{kNoConnection}, 30000);
        QVERIFY(server.received().isEmpty());
    }

    void untrustedCertificateIsRefused()
    {
        mailtest::Certificates certificates;
        QVERIFY(certificates.isValid());
        LocalSmtpServer server({QStringLiteral("--tls"), QStringLiteral("starttls"), QStringLiteral("--cert"),
                                certificates.path(QStringLiteral("stranger.pem")), QStringLiteral("--key"),
                                certificates.path(QStringLiteral("stranger.key"))});
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort(QStringLiteral("mail.test.example")));
        frmMain &w = startReady(rig);
        rig.parts->smtp().routeHost(QStringLiteral("mail.test.example"), QStringLiteral("127.0.0.1"));
        rig.parts->smtp().addTrustedCertificates(certificates.pem(QStringLiteral("server.pem")));
        fillIn(w);
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(rig.dialogs.messages, QStringList{kNoConnection}, 30000);
        QVERIFY(server.received().isEmpty());
    }

    void refusedDeliveryShowsTheCodeAndKeepsEverything_data()
    {
        QTest::addColumn<QStringList>("serverOptions");
        QTest::addColumn<QString>("message");
        QTest::newRow("recipient refused") << QStringList{QStringLiteral("--refuse-recipient"), kRecipient}
                                           << QStringLiteral("Could not Send Video Message - Error 550");
        QTest::newRow("message refused") << QStringList{QStringLiteral("--refuse-message")}
                                         << QStringLiteral("Could not Send Video Message - Error 552");
        QTest::newRow("hangs up during the message") << QStringList{QStringLiteral("--hang-up-in-data")}
                                                     << QStringLiteral("Could not Send Video Message - Error -6");
        QTest::newRow("stops answering") << QStringList{QStringLiteral("--stall"), QStringLiteral("data")}
                                         << QStringLiteral("Could not Send Video Message - Error -3");
    }
    void refusedDeliveryShowsTheCodeAndKeepsEverything()
    {
        QFETCH(QStringList, serverOptions);
        QFETCH(QString, message);
        LocalSmtpServer server(serverOptions);
        QVERIFY2(server.isRunning(), qPrintable(server.errors()));
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startReady(rig);
        rig.parts->smtp().setTimeout(1s);
        fillIn(w);

        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dialogs.messages.isEmpty(), 30000);
        QCOMPARE(rig.dialogs.messages, QStringList{message});
        const QString code = message.section(QLatin1Char(' '), -1);
        QVERIFY2(w.lblStatus->text().endsWith(QStringLiteral(" (%1)").arg(code)) && w.lblStatus->text().size() > 10,
                 qPrintable(w.lblStatus->text()));
        QVERIFY(allWorkingFilesThere(rig));
        QCOMPARE(w.LEDsteps[5]->state(), 1);
        QCOMPARE(w.LEDsteps[6]->state(), 2);
        QCOMPARE(w.lblInstructions->text(), QStringLiteral("Sending your Video email to ") + kRecipient);
        QCOMPARE(w.txtEmailTo->text(), kRecipient);
        QVERIFY(w.BUTsend->isEnabled());
    }

    void clicksAndKeysAreNotTakenWhileSending()
    {
        LocalSmtpServer server({QStringLiteral("--stall"), QStringLiteral("end")});
        QVERIFY(server.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startReady(rig);
        rig.parts->smtp().setTimeout(std::chrono::milliseconds(1500));
        rig.parts->smtp().setAcceptanceTimeout(std::chrono::milliseconds(1500));
        fillIn(w);
        bool timerRan = false;
        QTimer::singleShot(500, &w, [&] {
            timerRan = true;   // the window is alive meanwhile
            // through the window system, as a person's click and key come
            const QPoint record = w.BUTRecord->mapTo(&w, w.BUTRecord->rect().center());
            QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {}, record);
            QTest::keyClick(w.windowHandle(), Qt::Key_F5);
        });
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dialogs.messages.isEmpty(), 30000);
        QTest::qWait(200);
        QVERIFY(timerRan);
        QCOMPARE(rig.dialogs.messages, QStringList{QStringLiteral("Could not Send Video Message - Error -3")});
        // neither the Record click nor the panel command ran, then or later
        QCOMPARE(w.LEDsteps[3]->state(), 1);
        QVERIFY(w.lblONAIR->isHidden());
        QCOMPARE(w.mnuEmailSettings->text(), QStringLiteral("Show Email Settings"));
    }

    // Again at once, and after a restart: the files of a message that did
    // not go out are taken up as they are.
    void sendAgainAfterAFailureWorks()
    {
        LocalSmtpServer refusing({QStringLiteral("--refuse-message")});
        LocalSmtpServer good;
        QVERIFY(refusing.isRunning() && good.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(refusing.hostAndPort());
        frmMain &w = startReady(rig);
        fillIn(w);
        for (int round = 0; round < 2; ++round) {
            QTest::mouseClick(w.BUTsend, Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(rig.dialogs.messages.size(), round + 1, 30000);
        }
        QVERIFY(allWorkingFilesThere(rig));

        frmMain &again = rig.start();
        QVERIFY(again.BUTplay->isEnabled() && again.BUTcompress->isEnabled() && again.BUTsend->isEnabled());
        QVERIFY2(again.lblStatus->text().startsWith(QStringLiteral("The message recorded at ")),
                 qPrintable(again.lblStatus->text()));
        fillIn(again);
        again.txtDetails[2]->setText(good.hostAndPort());
        QTest::mouseClick(again.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(again.lblInstructions->text(), kSent, 20000);
        QCOMPARE(good.received().size(), 1);
        QCOMPARE(refusing.received().size(), 0);
    }

    void unsafeOrMissingInputStopsBeforeAnythingIsSent_data()
    {
        QTest::addColumn<QString>("recipient");
        QTest::addColumn<bool>("withClip");
        QTest::addColumn<QString>("messageStart");
        QTest::addColumn<QString>("sender"); // empty: the stored one
        const QString badAddress = QStringLiteral("Please type the e-mail address");
        QTest::newRow("line break") << QStringLiteral("bob@example.org\r\nRCPT TO:<eve@example.org>") << true << badAddress << QString();
        QTest::newRow("space") << QStringLiteral("bob @example.org") << true << badAddress << QString();
        QTest::newRow("no at") << QStringLiteral("bob.example.org") << true << badAddress << QString();
        QTest::newRow("two addresses") << QStringLiteral("bob@example.org,eve@example.org") << true << badAddress << QString();
        QTest::newRow("display name") << QStringLiteral("Bob <bob@example.org>") << true << badAddress << QString();
        QTest::newRow("empty") << QString() << true << badAddress << QString();
        QTest::newRow("no compressed clip") << kRecipient << false << QStringLiteral("There is no compressed video") << QString();
        // such addresses went out RFC 2047-encoded in RCPT TO and were reported sent
        QTest::newRow("recipient, non-ASCII before the @")
            << QStringLiteral("jürgen@example.org") << true << QStringLiteral("The address jürgen@example.org ") << QString();
        QTest::newRow("sender, non-ASCII before the @")
            << kRecipient << true << QStringLiteral("The address zoë@example.com ") << QStringLiteral("zoë@example.com");
        // vmime would write such addresses into the header as another address than the envelope's
        const QString tooLong = QString(65, QLatin1Char('b')) + QStringLiteral("@example.org");
        QTest::newRow("recipient longer than SMTP allows")
            << tooLong << true << QStringLiteral("The address %1 is longer than e-mail allows").arg(tooLong) << QString();
        QTest::newRow("sender with an encoded word")
            << kRecipient << true << QStringLiteral("The address =?utf-8?q?ann?=@example.com holds \"=?\"")
            << QStringLiteral("=?utf-8?q?ann?=@example.com");
        const QString badSender = QStringLiteral("Your own e-mail address");
        QTest::newRow("sender with a name") << kRecipient << true << badSender << QStringLiteral("Ann <ann@example.com>");
        QTest::newRow("two senders") << kRecipient << true << badSender << QStringLiteral("ann@example.com, eve@example.org");
        QTest::newRow("sender with a line break") << kRecipient << true << badSender << QStringLiteral("ann@example.com\r\nRCPT TO:<eve@example.org>");
        QTest::newRow("blank sender") << kRecipient << true << badSender << QStringLiteral(" ");
        // a part that fails on the way puts the window back as it was
        QTest::newRow("message cannot be written") << kRecipient << true << QStringLiteral("Cannot write the message") << QString();
    }
    void unsafeOrMissingInputStopsBeforeAnythingIsSent()
    {
        QFETCH(QString, recipient);
        QFETCH(bool, withClip);
        QFETCH(QString, messageStart);
        QFETCH(QString, sender);
        LocalSmtpServer server;
        QVERIFY(server.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startReady(rig);
        fillIn(w);
        w.txtEmailTo->setText(recipient);
        if (!sender.isEmpty())
            w.txtDetails[0]->setText(sender);
        if (!withClip)
            QFile::remove(rig.file(QStringLiteral("mirabo.mpg")));
        const QString message = rig.file(QStringLiteral("message.msg"));
        if (QString(QTest::currentDataTag()) == QLatin1String("message cannot be written"))
            QDir().mkpath(message);
        const QList<int> lamps = lampStates(w);
        const QString instruction = w.lblInstructions->text();
        w.PROsending->setValue(30);

        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTest::qWait(200);
        QCOMPARE(rig.dialogs.messages.size(), 1);
        QVERIFY2(rig.dialogs.messages[0].startsWith(messageStart), qPrintable(rig.dialogs.messages[0]));
        QVERIFY(!QFileInfo(message).isFile());
        QCOMPARE(lampStates(w), lamps);
        QCOMPARE(w.lblInstructions->text(), instruction);
        QCOMPARE(w.PROsending->value(), 30);
        QVERIFY(server.received().isEmpty());
    }

    void inputDuringTheSendClickIsDroppedNotQueued()
    {
        LocalSmtpServer server;
        QVERIFY(server.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startReady(rig);
        fillIn(w);
        // waits for the click's pass through the window's pending events
        QString instructionThen;
        QTimer::singleShot(0, &w, [&] {
            instructionThen = w.lblInstructions->text();
            const QPoint record = w.BUTRecord->mapTo(&w, w.BUTRecord->rect().center());
            QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {}, record);
            QTest::keyClick(w.windowHandle(), Qt::Key_F5);
        });
        QTimer::singleShot(8000, &w, [&] { w.BUTstopRecord->click(); });   // should one start after all
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);

        QCOMPARE(instructionThen, QStringLiteral("Sending your Video email to ") + kRecipient);
        QVERIFY(rig.dialogs.messages.isEmpty());
        QVERIFY(w.lblONAIR->isHidden() && !w.BUTstopRecord->isEnabled());
        QCOMPARE(lampStates(w), (QList<int>{1, 2, 0, 0, 0, 0, 0}));
        QCOMPARE(w.mnuEmailSettings->text(), QStringLiteral("Show Email Settings"));
        for (const char *name : {"video.avi", "mirabo.mpg", "message.msg"})
            QVERIFY2(!QFile::exists(rig.file(QString::fromLatin1(name))), name);
        QCOMPARE(server.received().size(), 1);
    }

    void lineBreaksInTheSubjectBecomeSpaces()
    {
        LocalSmtpServer server;
        QVERIFY(server.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startReady(rig);
        fillIn(w, QStringLiteral("one\r\nBcc: eve@example.org\ntwo"));
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);
        const QJsonObject m = mailtest::inspect(server.received().value(0));
        QCOMPARE(m.value("subject").toString(), QStringLiteral("Mirabo: one Bcc: eve@example.org two"));
        QVERIFY(!m.value("header_names").toArray().contains(QStringLiteral("bcc")));
    }

    // A delivery the user gives up on with Escape fails like any other, with
    // -11. Closing the window while the server decides asks first; closing
    // anyway says nothing then, and the next start says the message may
    // have been delivered. The files stay either way.
    void escapeOrClosingTheWindowCancels_data()
    {
        QTest::addColumn<bool>("closing");
        QTest::newRow("Esc") << false;
        QTest::newRow("closing the window") << true;
    }
    void escapeOrClosingTheWindowCancels()
    {
        QFETCH(bool, closing);
        LocalSmtpServer silent({QStringLiteral("--stall"), QStringLiteral("end")});
        LocalSmtpServer good;
        QVERIFY(silent.isRunning() && good.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(silent.hostAndPort());
        frmMain *w = &startReady(rig);
        rig.parts->smtp().setAcceptanceTimeout(20s);
        fillIn(*w);
        QStringList statusLines;
        connect(&rig.parts->smtp(), &SmtpComponent::progress, this, [&] {
            if (!statusLines.contains(w->lblStatus->text()))
                statusLines << w->lblStatus->text();
        });
        connect(&rig.parts->smtp(), &SmtpComponent::waitingForAcceptance, this, [&] {
            statusLines << w->lblStatus->text();
            QTimer::singleShot(200, w, [&] {
                if (closing)
                    w->close();
                else
                    QTest::keyClick(w->windowHandle(), Qt::Key_Escape);
            });
        });
        rig.dialogs.choices = {true};   // close anyway

        QTest::mouseClick(w->BUTsend, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !rig.dialogs.transcript.isEmpty() && settles(*w, 0); }, 30000));
        QCOMPARE(statusLines, (QStringList{QStringLiteral("Press Esc to cancel"),
                                           QStringLiteral("Waiting for the server to accept the message\u2026")}));
        QVERIFY(allWorkingFilesThere(rig));
        QCOMPARE(w->LEDsteps[6]->state(), 2);
        if (closing) {
            QCOMPARE(rig.dialogs.transcript.size(), 1);
            QVERIFY(rig.dialogs.transcript[0].startsWith(QStringLiteral("question: ")));
            QTRY_VERIFY(!w->isVisible());
            QTest::qWait(200);
            QVERIFY(rig.dialogs.messages.isEmpty());
            w = &rig.start();
            QCOMPARE(rig.dialogs.messages.size(), 1);
            QVERIFY2(rig.dialogs.messages[0].contains(QStringLiteral("message to bob@example.org"))
                         && rig.dialogs.messages[0].contains(QStringLiteral("may have been delivered")),
                     qPrintable(rig.dialogs.messages[0]));
            fillIn(*w);
        } else {
            QCOMPARE(rig.dialogs.messages, QStringList{QStringLiteral("Could not Send Video Message - Error -11")});
            QCOMPARE(w->lblStatus->text(), QStringLiteral("Sending was cancelled (-11)"));
        }

        w->txtDetails[2]->setText(good.hostAndPort());
        QTest::mouseClick(w->BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w->lblInstructions->text(), kSent, 20000);
        QCOMPARE(good.received().size(), 1);
        QCOMPARE(w->lblStatus->text(), QString());
    }

    void internationalDomainsGoOutInIdnaForm()
    {
        LocalSmtpServer server({QStringLiteral("--show-envelope")});
        QVERIFY(server.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        rig.storeSettings({{"EmailAddress", QStringLiteral("ann@café.example")}});
        frmMain &w = startReady(rig);
        fillIn(w);
        w.txtEmailTo->setText(QStringLiteral("bob@bücher.example"));
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);
        QCOMPARE(server.envelopes(), QStringList{QStringLiteral("ann@xn--caf-dma.example bob@xn--bcher-kva.example")});
        const QJsonObject m = mailtest::inspect(server.received().value(0));
        QCOMPARE(m.value("from").toString(), QStringLiteral("ann@xn--caf-dma.example"));
        QCOMPARE(m.value("to").toString(), QStringLiteral("bob@xn--bcher-kva.example"));
    }

    void emptySubjectIsThePrefixAlone()
    {
        LocalSmtpServer server;
        QVERIFY(server.isRunning());
        WindowRig rig;
        rig.storeTypicalSettings(server.hostAndPort());
        frmMain &w = startReady(rig);
        fillIn(w, QString());
        QTest::mouseClick(w.BUTsend, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(w.lblInstructions->text(), kSent, 20000);
        QCOMPARE(mailtest::inspect(server.received().value(0)).value("subject").toString(),
                 QStringLiteral("Mirabo: "));
    }
};

QTEST_MAIN(TestWindowSending)
#include "tst_window_sending.moc"
