// Delivery through the SMTP component to a real SMTP server on 127.0.0.1,
// driven as the window drives it, read back by Python's email package.
#include "MailTestSupport.h"
#include "VmimeMailMessage.h"
#include "CurlSmtpComponent.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QThread>
#include <QtTest>

#include <algorithm>

using namespace mailtest;
using namespace std::chrono_literals;

namespace {

const QString kFrom = QStringLiteral("me@example.org");
const QString kTo = QStringLiteral("friend@example.net");

} // namespace

class tst_SmtpDelivery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deliversTheSavedMessage_data();
    void deliversTheSavedMessage();
    void dotsWhereTheStreamIsCutArriveUnchanged();
    void progressFollowsWhatTheServerTook();

private:
    QString file(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    std::unique_ptr<Certificates> m_certificates;
    QByteArray m_clip;
};

void tst_SmtpDelivery::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_certificates = std::make_unique<Certificates>();
    QVERIFY(m_certificates->isValid());
    m_clip = randomBytes(2 * 1024 * 1024 + 5);
    writeFile(file(QStringLiteral("mirabo.mpg")), m_clip);
}

void tst_SmtpDelivery::deliversTheSavedMessage_data()
{
    QTest::addColumn<QStringList>("serverOptions");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("tlsFromStart");
    QTest::addColumn<QString>("trusted");
    QTest::addColumn<QString>("subject");

    const QString password = QStringLiteral("s3cret pass wörd");
    QTest::newRow("plain, localhost")
        << QStringList() << QStringLiteral("localhost") << QString() << QString() << false << QString()
        << QStringLiteral("Holiday greetings");
    QTest::newRow("STARTTLS and login, self-signed, named host")
        << QStringList{QStringLiteral("--tls"), QStringLiteral("starttls"), QStringLiteral("--cert"),
                       m_certificates->path(QStringLiteral("server.pem")), QStringLiteral("--key"),
                       m_certificates->path(QStringLiteral("server.key")), QStringLiteral("--user"),
                       QStringLiteral("ann"), QStringLiteral("--password"), password}
        << QStringLiteral("mail.test.example") << QStringLiteral("ann") << password << false
        << QStringLiteral("server.pem") << QStringLiteral("Grüße aus Köln – 日本語の件名");
    QTest::newRow("STARTTLS to a server that needs the name (SNI), own CA")
        << QStringList{QStringLiteral("--tls"), QStringLiteral("starttls"), QStringLiteral("--cert"),
                       m_certificates->path(QStringLiteral("leaf-chain.pem")), QStringLiteral("--key"),
                       m_certificates->path(QStringLiteral("leaf.key")), QStringLiteral("--require-sni"),
                       QStringLiteral("mail.test.example")}
        << QStringLiteral("mail.test.example") << QString() << QString() << false << QStringLiteral("ca.pem")
        << QStringLiteral("Named");
    QTest::newRow("TLS from the start and login, CA-signed")
        << QStringList{QStringLiteral("--tls"), QStringLiteral("implicit"), QStringLiteral("--cert"),
                       m_certificates->path(QStringLiteral("leaf-chain.pem")), QStringLiteral("--key"),
                       m_certificates->path(QStringLiteral("leaf.key")), QStringLiteral("--user"),
                       QStringLiteral("ann"), QStringLiteral("--password"), password}
        << QStringLiteral("mail.test.example") << QStringLiteral("ann") << password << true
        << QStringLiteral("ca.pem") << QStringLiteral("From the start");
}

void tst_SmtpDelivery::deliversTheSavedMessage()
{
    QFETCH(QStringList, serverOptions);
    QFETCH(QString, host);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, tlsFromStart);
    QFETCH(QString, trusted);
    QFETCH(QString, subject);

    // As strict as Postfix with reject_non_fqdn_helo_hostname.
    LocalSmtpServer server(serverOptions + QStringList{QStringLiteral("--require-fqdn-helo")});
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));

    const QString messagePath = file(QStringLiteral("message.msg"));
    VmimeMailMessage message;
    composeLikeTheWindow(message, kFrom, kTo, subject, QStringLiteral("Ann Smith"),
                         file(QStringLiteral("mirabo.mpg")), messagePath);

    CurlSmtpComponent smtp;
    smtp.setTimeout(20s);
    smtp.routeHost(QStringLiteral("mail.test.example"), QStringLiteral("127.0.0.1"));
    if (!trusted.isEmpty())
        smtp.addTrustedCertificates(m_certificates->pem(trusted));
    if (tlsFromStart)
        smtp.setTlsFromStartPort(server.port());

    QList<int> percents;
    bool progressOnOwnThread = true;
    connect(&smtp, &SmtpComponent::progress, this, [&](qint64, qint64, int16_t percent) {
        percents.append(percent);
        progressOnOwnThread = progressOnOwnThread && QThread::currentThread() == smtp.thread();
    });

    // The window's handlers, step by step: connected, then sendFinished.
    bool connectReturned = false;
    bool connectedTooEarly = false;
    int connectedCount = 0;
    bool encrypted = false;
    int16_t sendStatus = -1;
    int16_t resetStatus = -1;
    QString failure;
    connect(&smtp, &SmtpComponent::connectFailed, this, [&] { failure = smtp.lastErrorText(); });
    connect(&smtp, &SmtpComponent::connected, this, [&] {
        ++connectedCount;
        connectedTooEarly = !connectReturned;
        try {
            message.verifyFile(messagePath);
        } catch (const std::exception &e) {
            failure = QString::fromUtf8(e.what());
            return;
        }
        smtp.setSender(kFrom);
        smtp.clearEnvelope();
        smtp.setRecipient(kTo);
        smtp.sendFile(kFrom, kTo, messagePath);
    });
    connect(&smtp, &SmtpComponent::sendFinished, this, [&](int16_t status) {
        sendStatus = status;
        if (sendStatus != 0) {
            failure = smtp.lastErrorText();
            return;
        }
        encrypted = smtp.isEncrypted();
        resetStatus = smtp.resetSession();
        smtp.disconnectFromServer();
    });

    smtp.setHost(server.hostAndPort(host));
    smtp.setUserName(user);
    smtp.setPassword(password);
    smtp.connectToServer();
    connectReturned = true;
    QTRY_VERIFY_WITH_TIMEOUT(sendStatus != -1 || !failure.isEmpty(), 60000);
    QCOMPARE(connectedCount, 1);
    QVERIFY(!connectedTooEarly);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(sendStatus, 0);
    QCOMPARE(resetStatus, 0);
    QCOMPARE(encrypted, !serverOptions.isEmpty());
    QVERIFY(!smtp.isEncrypted());

    QVERIFY(progressOnOwnThread);
    QString shown;
    for (const int percent : std::as_const(percents))
        shown += QString::number(percent) + QLatin1Char(' ');
    QVERIFY2(percents.size() >= 2 && percents.first() == 0 && percents.last() == 100, qPrintable(shown));
    QVERIFY(std::is_sorted(percents.cbegin(), percents.cend()));
    QVERIFY(std::adjacent_find(percents.cbegin(), percents.cend()) == percents.cend());

    const QStringList stored = server.received();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(server.receivedLines().first(), stored.first() + QStringLiteral(" Mirabo: ") + subject);
    QVERIFY2(readFile(stored.first()) == readFile(messagePath), "the server stored other bytes than the file holds");

    const QJsonObject m = inspect(stored.first());
    // Neither the greeting nor the message names the machine.
    const QStringList hellos = server.helloNames();
    QVERIFY(!hellos.isEmpty());
    QCOMPARE(QSet<QString>(hellos.cbegin(), hellos.cend()), QSet<QString>{QStringLiteral("[127.0.0.1]")});
    QVERIFY2(m.value(QStringLiteral("message_id")).toString().endsWith(QStringLiteral("@example.org>")),
             qPrintable(m.value(QStringLiteral("message_id")).toString()));
    QCOMPARE(m.value(QStringLiteral("from")).toString(), kFrom);
    QCOMPARE(m.value(QStringLiteral("to")).toString(), kTo);
    QCOMPARE(m.value(QStringLiteral("subject")).toString(), QStringLiteral("Mirabo: ") + subject);
    QCOMPARE(m.value(QStringLiteral("x_mailer")).toString(), QStringLiteral("Mirabo v1.00 By Dorvale"));
    QCOMPARE(m.value(QStringLiteral("defects")).toArray(), QJsonArray());
    const QJsonArray texts = m.value(QStringLiteral("texts")).toArray();
    QCOMPARE(texts.size(), 1);
    QCOMPARE(QByteArray::fromBase64(texts.at(0).toObject().value(QStringLiteral("bytes")).toString().toLatin1()),
             windowBody(QStringLiteral("Ann Smith")).toUtf8());
    const QJsonArray attachments = m.value(QStringLiteral("attachments")).toArray();
    QCOMPARE(attachments.size(), 1);
    QCOMPARE(attachments.at(0).toObject().value(QStringLiteral("filename")).toString(), QStringLiteral("mirabo.mpg"));
    QCOMPARE(attachments.at(0).toObject().value(QStringLiteral("sha256")).toString(), sha256Hex(m_clip));
}

// Dot-stuffing must hold where the message is cut into blocks on its way: a
// file with a line ending in "." at every 4 KiB edge must arrive as it is,
// and so must lines that are or start with dots.
void tst_SmtpDelivery::dotsWhereTheStreamIsCutArriveUnchanged()
{
    QByteArray bytes = "From: me@example.org\r\nTo: friend@example.net\r\nSubject: dots\r\n\r\n"
                       ".\r\n..\r\n.starts with a dot\r\n";
    while (bytes.size() < 300 * 1024) {
        const qsizetype edge = (bytes.size() / 4096 + 1) * 4096;
        qsizetype gap = edge - 1 - bytes.size(); // bytes before the dot
        if (gap < 3) {
            bytes.append("x\r\n");
            continue;
        }
        while (gap > 900) {
            bytes.append(QByteArray(700, 'a') + "\r\n");
            gap -= 702;
        }
        bytes.append(QByteArray(gap, 'b') + ".\r\n");
    }
    bytes.append(".\r\n");
    const QString path = file(QStringLiteral("dots.msg"));
    writeFile(path, bytes);

    LocalSmtpServer server;
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    CurlSmtpComponent smtp;
    smtp.setHost(server.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);
    QVERIFY2(sendAndWait(smtp, kFrom, kTo, path) == 0, qPrintable(smtp.lastErrorText()));
    const QStringList stored = server.received();
    QCOMPARE(stored.size(), 1);
    const QByteArray arrived = readFile(stored.first());
    QCOMPARE(arrived.size(), bytes.size());
    QVERIFY(arrived == bytes);
}

// Through a slow link the bar moves with the bytes the server's end has
// taken, not with those handed to the socket (which takes megabytes at once),
// until all have arrived; then the server's answer is awaited.
void tst_SmtpDelivery::progressFollowsWhatTheServerTook()
{
    const QString path = file(QStringLiteral("slow.msg"));
    VmimeMailMessage message;
    composeLikeTheWindow(message, kFrom, kTo, QStringLiteral("slow"), QStringLiteral("Ann"),
                         file(QStringLiteral("mirabo.mpg")), path);
    const qint64 size = QFileInfo(path).size();
    const qint64 rate = size / 4; // four seconds

    LocalSmtpServer server;
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    ScriptServer link(QStringLiteral("throttled_proxy.py"),
                      {QStringLiteral("--target"), QString::number(server.port()), QStringLiteral("--rate"),
                       QString::number(rate)});
    QVERIFY2(link.isRunning(), qPrintable(link.errors()));
    CurlSmtpComponent smtp;
    smtp.setHost(link.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);

    QElapsedTimer clock;
    QList<QPair<qint64, int>> shown; // ms since the start, percent
    qint64 arrived = -1;
    connect(&smtp, &SmtpComponent::progress, this,
            [&](qint64, qint64, int16_t percent) { shown.append({clock.elapsed(), percent}); });
    connect(&smtp, &SmtpComponent::waitingForAcceptance, this, [&] { arrived = clock.elapsed(); });
    clock.start();
    QVERIFY2(sendAndWait(smtp, kFrom, kTo, path) == 0, qPrintable(smtp.lastErrorText()));
    QCOMPARE(server.received().size(), 1);

    QVERIFY(arrived > 0);
    QVERIFY2(shown.size() > 20, "the bar hardly moved");
    QCOMPARE(shown.last().second, 100);
    for (const auto &[at, percent] : std::as_const(shown)) {
        const double share = 100.0 * double(std::min(at, arrived)) / double(arrived);
        QVERIFY2(percent == 100 || std::abs(percent - share) <= 10,
                 qPrintable(QStringLiteral("%1 % shown after %2 of %3 ms").arg(percent).arg(at).arg(arrived)));
        QVERIFY(at >= arrived || percent < 100);
    }
}

QTEST_GUILESS_MAIN(tst_SmtpDelivery)
#include "tst_smtpdelivery.moc"
