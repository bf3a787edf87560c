// How the SMTP component fails: refused connections, refused deliveries,
// broken and silent servers, unsafe values. Each against a real server on
// 127.0.0.1 that misbehaves on purpose.
#include "MailTestSupport.h"
#include "VmimeMailMessage.h"
#include "CurlSmtpComponent.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

using namespace mailtest;
using namespace std::chrono_literals;
using Code = CurlSmtpComponent::ErrorCode;

namespace {

const QString kFrom = QStringLiteral("me@example.org");
const QString kTo = QStringLiteral("friend@example.net");

} // namespace

class tst_SmtpFailures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedConnections_data();
    void refusedConnections();
    void refusedDeliveries_data();
    void refusedDeliveries();
    void aWordedRefusalLeavesTheSessionUsable();
    void reconnectingReplacesTheOpenSession();
    void serverSettingsThatAreNoHostAndPortAreRefused_data();
    void serverSettingsThatAreNoHostAndPortAreRefused();
    void valuesWithLineBreaksNeverReachTheServer_data();
    void valuesWithLineBreaksNeverReachTheServer();
    void silentServerTimesOutWhileEventsAreProcessed();
    void hostileServers_data();
    void hostileServers();
    void refusalsSayWhyAndEndWithQuit_data();
    void refusalsSayWhyAndEndWithQuit();
    void sendingNeedsASessionAndAReadableFile();
    void operationsRunOneAtATime();
    void destroyingTheComponentMidOperationEndsIt_data();
    void destroyingTheComponentMidOperationEndsIt();

private:
    QString file(const QString &name) const { return m_dir.filePath(name); }
    QStringList tlsOptions(const QString &mode, const QString &certificate, const QString &key) const;

    QTemporaryDir m_dir;
    std::unique_ptr<Certificates> m_certificates;
    QString m_message;
};

void tst_SmtpFailures::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_certificates = std::make_unique<Certificates>();
    QVERIFY(m_certificates->isValid());
    writeFile(file(QStringLiteral("mirabo.mpg")), randomBytes(256 * 1024));
    m_message = file(QStringLiteral("message.msg"));
    VmimeMailMessage message;
    composeLikeTheWindow(message, kFrom, kTo, QStringLiteral("failures"), QStringLiteral("Ann"),
                         file(QStringLiteral("mirabo.mpg")), m_message);
}

QStringList tst_SmtpFailures::tlsOptions(const QString &mode, const QString &certificate,
                                         const QString &key) const
{
    return {QStringLiteral("--tls"), mode, QStringLiteral("--cert"), m_certificates->path(certificate),
            QStringLiteral("--key"), m_certificates->path(key)};
}

void tst_SmtpFailures::refusedConnections_data()
{
    QTest::addColumn<QStringList>("serverOptions"); // empty: no server at all
    QTest::addColumn<QString>("host");              // %1: the server's port
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("trusted");
    QTest::addColumn<bool>("tlsFromStart");
    QTest::addColumn<int>("expected");

    const QString plain = QStringLiteral("--tls=none");
    const QString starttls = QStringLiteral("starttls");
    const QString server = QStringLiteral("server.pem");
    const QString serverKey = QStringLiteral("server.key");
    const QStringList login = {QStringLiteral("--user"), QStringLiteral("ann"), QStringLiteral("--password"),
                               QStringLiteral("right")};

    QTest::newRow("untrusted certificate, STARTTLS on localhost")
        << tlsOptions(starttls, QStringLiteral("stranger.pem"), QStringLiteral("stranger.key"))
        << QStringLiteral("localhost:%1") << QString() << QString() << server << false << int(Code::TlsFailure);
    QTest::newRow("untrusted certificate, TLS from the start")
        << tlsOptions(QStringLiteral("implicit"), QStringLiteral("stranger.pem"), QStringLiteral("stranger.key"))
        << QStringLiteral("mail.test.example:%1") << QString() << QString() << server << true
        << int(Code::TlsFailure);
    QTest::newRow("leaf not signed by the trusted authority it names")
        << tlsOptions(starttls, QStringLiteral("forged-chain.pem"), QStringLiteral("forged.key"))
        << QStringLiteral("mail.test.example:%1") << QString() << QString() << QStringLiteral("ca.pem")
        << false << int(Code::TlsFailure);
    QTest::newRow("expired certificate")
        << tlsOptions(starttls, QStringLiteral("expired-chain.pem"), QStringLiteral("expired.key"))
        << QStringLiteral("mail.test.example:%1") << QString() << QString() << QStringLiteral("ca.pem")
        << false << int(Code::TlsFailure);
    QTest::newRow("certificate for another name")
        << tlsOptions(starttls, server, serverKey) << QStringLiteral("other.test.example:%1") << QString()
        << QString() << server << false << int(Code::TlsFailure);
    QTest::newRow("no TLS at a host off this machine")
        << QStringList{plain} << QStringLiteral("mail.test.example:%1") << QString() << QString()
        << QString() << false << int(Code::TlsFailure);
    QTest::newRow("wrong password")
        << tlsOptions(starttls, server, serverKey) + login << QStringLiteral("mail.test.example:%1")
        << QStringLiteral("ann") << QStringLiteral("wrong") << server << false << 535;
    QTest::newRow("login asked of a server without login")
        << QStringList{plain} << QStringLiteral("localhost:%1") << QStringLiteral("ann")
        << QStringLiteral("right") << QString() << false << int(Code::LoginRefused);
    QTest::newRow("unknown host") << QStringList() << QStringLiteral("no-such-host.invalid") << QString()
                                  << QString() << QString() << false << int(Code::UnknownHost);
    QTest::newRow("nothing listening")
        << QStringList{QStringLiteral("stopped")} << QStringLiteral("127.0.0.1:%1") << QString() << QString()
        << QString() << false << int(Code::ConnectionRefused);
    QTest::newRow("no greeting") << QStringList{QStringLiteral("--stall"), QStringLiteral("greeting")}
                                 << QStringLiteral("localhost:%1") << QString() << QString() << QString()
                                 << false << int(Code::TimedOut);
    QTest::newRow("server that needs the name (SNI), reached by its address")
        << tlsOptions(starttls, QStringLiteral("leaf-chain.pem"), QStringLiteral("leaf.key"))
               + QStringList{QStringLiteral("--require-sni"), QStringLiteral("mail.test.example")}
        << QStringLiteral("127.0.0.1:%1") << QString() << QString() << QStringLiteral("ca.pem") << false
        << int(Code::TlsFailure);
}

void tst_SmtpFailures::refusedConnections()
{
    QFETCH(QStringList, serverOptions);
    QFETCH(QString, host);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, trusted);
    QFETCH(bool, tlsFromStart);
    QFETCH(int, expected);

    std::unique_ptr<LocalSmtpServer> server;
    quint16 port = 0;
    if (!serverOptions.isEmpty()) {
        const bool stopped = serverOptions == QStringList{QStringLiteral("stopped")};
        server = std::make_unique<LocalSmtpServer>(stopped ? QStringList() : serverOptions);
        QVERIFY2(server->isRunning(), qPrintable(server->errors()));
        port = server->port();
        if (stopped)
            server->stop();
    }

    CurlSmtpComponent smtp;
    // Short only where the silence is the point: a slow resolver or machine
    // must not turn another failure into a time-out.
    smtp.setTimeout(expected == Code::TimedOut ? 1s : 20s);
    smtp.routeHost(QStringLiteral("mail.test.example"), QStringLiteral("127.0.0.1"));
    smtp.routeHost(QStringLiteral("other.test.example"), QStringLiteral("127.0.0.1"));
    if (!trusted.isEmpty())
        smtp.addTrustedCertificates(m_certificates->pem(trusted));
    if (tlsFromStart)
        smtp.setTlsFromStartPort(port);
    int connectedCount = 0;
    connect(&smtp, &SmtpComponent::connected, this, [&] { ++connectedCount; });

    smtp.setHost(host.contains(QLatin1String("%1")) ? host.arg(port) : host);
    smtp.setUserName(user);
    smtp.setPassword(password);
    const int16_t status = connectAndWait(smtp);
    QVERIFY(status != 0);
    QCOMPARE(smtp.lastErrorCode(), expected);
    QCOMPARE(int(status), expected);
    QVERIFY(!smtp.lastErrorText().isEmpty());
    QVERIFY(!smtp.isEncrypted());
    QTest::qWait(50);
    QCOMPARE(connectedCount, 0);
    if (server)
        QCOMPARE(server->received(), QStringList());
}

void tst_SmtpFailures::refusedDeliveries_data()
{
    QTest::addColumn<QStringList>("serverOptions");
    QTest::addColumn<int>("expected");

    QTest::newRow("recipient refused")
        << QStringList{QStringLiteral("--refuse-recipient"), kTo} << 550;
    QTest::newRow("message refused after its data") << QStringList{QStringLiteral("--refuse-message")} << 552;
    QTest::newRow("hang-up in the middle of the message")
        << QStringList{QStringLiteral("--hang-up-in-data")} << int(Code::ConnectionLost);
    QTest::newRow("silent at MAIL") << QStringList{QStringLiteral("--stall"), QStringLiteral("mail")}
                                    << int(Code::TimedOut);
    QTest::newRow("stops reading the message")
        << QStringList{QStringLiteral("--stall"), QStringLiteral("data")} << int(Code::TimedOut);
    QTest::newRow("silent after the message") << QStringList{QStringLiteral("--stall"), QStringLiteral("end")}
                                              << int(Code::TimedOut);
}

void tst_SmtpFailures::refusedDeliveries()
{
    QFETCH(QStringList, serverOptions);
    QFETCH(int, expected);

    LocalSmtpServer server(serverOptions);
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    CurlSmtpComponent smtp;
    smtp.setTimeout(expected == Code::TimedOut ? 1s : 20s);
    smtp.setAcceptanceTimeout(expected == Code::TimedOut ? 1s : 20s);
    int lastPercent = -1;
    connect(&smtp, &SmtpComponent::progress, this, [&](qint64, qint64, int16_t p) { lastPercent = p; });
    smtp.setHost(server.hostAndPort());
    QVERIFY2(connectAndWait(smtp) == 0, qPrintable(smtp.lastErrorText()));

    smtp.setSender(kFrom);
    smtp.clearEnvelope();
    smtp.setRecipient(kTo);
    const int16_t status = sendAndWait(smtp, kFrom, kTo, m_message);
    QCOMPARE(int(status), expected);
    QCOMPARE(smtp.lastErrorCode(), expected);
    QVERIFY(!smtp.lastErrorText().isEmpty());
    QVERIFY2(lastPercent < 100, "progress claimed a complete delivery");
    QCOMPARE(server.received(), QStringList());
    smtp.disconnectFromServer();
}

void tst_SmtpFailures::aWordedRefusalLeavesTheSessionUsable()
{
    const QString nobody = QStringLiteral("nobody@example.net");
    LocalSmtpServer server({QStringLiteral("--refuse-recipient"), nobody});
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    CurlSmtpComponent smtp;
    smtp.setHost(server.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);

    // The refused address came from setRecipient: the envelope is what is sent.
    smtp.setRecipient(nobody);
    QCOMPARE(sendAndWait(smtp, kFrom, QString(), m_message), 550);
    smtp.clearEnvelope();
    QVERIFY2(sendAndWait(smtp, kFrom, kTo, m_message) == 0, qPrintable(smtp.lastErrorText()));
    QCOMPARE(smtp.lastErrorCode(), 0);
    QCOMPARE(smtp.resetSession(), 0);

    const QStringList stored = server.received();
    QCOMPARE(stored.size(), 1);
    QVERIFY(readFile(stored.first()) == readFile(m_message));
}

void tst_SmtpFailures::reconnectingReplacesTheOpenSession()
{
    LocalSmtpServer server({QStringLiteral("--hang-up-in-data")});
    LocalSmtpServer good;
    QVERIFY(server.isRunning() && good.isRunning());
    CurlSmtpComponent smtp;
    int connectedCount = 0;
    connect(&smtp, &SmtpComponent::connected, this, [&] { ++connectedCount; });

    smtp.setHost(good.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);
    // A second Send click before the first connection was used.
    smtp.setHost(server.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);
    QCOMPARE(connectedCount, 2);
    QCOMPARE(sendAndWait(smtp, kFrom, kTo, m_message), int16_t(Code::ConnectionLost));

    // And once more after the failure, which the window reports but never disconnects.
    smtp.setHost(good.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);
    QCOMPARE(connectedCount, 3);
    QVERIFY2(sendAndWait(smtp, kFrom, kTo, m_message) == 0, qPrintable(smtp.lastErrorText()));
    QCOMPARE(good.received().size(), 1);
}

void tst_SmtpFailures::serverSettingsThatAreNoHostAndPortAreRefused_data()
{
    QTest::addColumn<QString>("setting");
    for (const char *setting : {"", "   ", "localhost:", "localhost:0", "localhost:65536", "localhost:25x",
                                "localhost:+25", "[::1", "[::1]25", "mail server", "ann@localhost",
                                "localhost/smtp", "localhost\r\n", "localhost:25:junk", "localhost!x",
                                "localhost,x", "local..host", "bÃ¼cher..example"})
        QTest::newRow(QByteArray(setting).replace("\r\n", "<CR LF>").constData()) << QString::fromLatin1(setting);
}

void tst_SmtpFailures::serverSettingsThatAreNoHostAndPortAreRefused()
{
    QFETCH(QString, setting);
    CurlSmtpComponent smtp;
    smtp.setHost(setting);
    QCOMPARE(connectAndWait(smtp), int16_t(Code::InvalidValue));
    QVERIFY(!smtp.lastErrorText().isEmpty());
}

void tst_SmtpFailures::valuesWithLineBreaksNeverReachTheServer_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");

    const QString injected = QStringLiteral("\r\nRCPT TO:<spy@example.com>");
    QTest::newRow("host") << QStringLiteral("host") << QStringLiteral("localhost:%1") + injected;
    QTest::newRow("user name") << QStringLiteral("user") << QStringLiteral("ann") + injected;
    QTest::newRow("password") << QStringLiteral("password") << QStringLiteral("pw\nQUIT");
    QTest::newRow("sender") << QStringLiteral("sender") << kFrom + injected;
    QTest::newRow("envelope recipient") << QStringLiteral("recipient") << kTo + QStringLiteral(">") + injected;
    QTest::newRow("recipient argument") << QStringLiteral("argument") << kTo + QStringLiteral("\nDATA");
    QTest::newRow("sender, non-ASCII before the @") << QStringLiteral("sender") << QStringLiteral("jürgen@example.org");
    QTest::newRow("recipient, non-ASCII before the @") << QStringLiteral("argument") << QStringLiteral("zoë@example.net");
    // The header would show another address than the envelope carries.
    QTest::newRow("sender, encoded word") << QStringLiteral("sender") << QStringLiteral("=?utf-8?q?evil?=@example.org");
    QTest::newRow("recipient, 65 before the @") << QStringLiteral("argument") << QString(65, QLatin1Char('a')) + QStringLiteral("@example.net");
}

void tst_SmtpFailures::valuesWithLineBreaksNeverReachTheServer()
{
    QFETCH(QString, field);
    QFETCH(QString, value);

    LocalSmtpServer server({QStringLiteral("--user"), QStringLiteral("ann"), QStringLiteral("--password"),
                            QStringLiteral("pw")});
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    CurlSmtpComponent smtp;
    smtp.setHost(field == QLatin1String("host") ? value.arg(server.port()) : server.hostAndPort());
    smtp.setUserName(field == QLatin1String("user") ? value : QStringLiteral("ann"));
    smtp.setPassword(field == QLatin1String("password") ? value : QStringLiteral("pw"));
    const int16_t connected = connectAndWait(smtp);
    if (field == QLatin1String("host") || field == QLatin1String("user") || field == QLatin1String("password")) {
        QCOMPARE(connected, int16_t(Code::InvalidValue));
        QCOMPARE(smtp.lastErrorCode(), int(Code::InvalidValue));
        return;
    }
    QCOMPARE(connected, 0);
    smtp.setSender(field == QLatin1String("sender") ? value : kFrom);
    smtp.clearEnvelope();
    if (field == QLatin1String("recipient"))
        smtp.setRecipient(value);
    const QString argument = field == QLatin1String("argument") ? value : kTo;
    QCOMPARE(sendAndWait(smtp, QString(), argument, m_message), int16_t(Code::InvalidValue));
    QCOMPARE(server.received(), QStringList());
    // The session itself is unharmed.
    smtp.clearEnvelope();
    QCOMPARE(sendAndWait(smtp, kFrom, kTo, m_message), 0);
}

void tst_SmtpFailures::silentServerTimesOutWhileEventsAreProcessed()
{
    LocalSmtpServer server({QStringLiteral("--stall"), QStringLiteral("end")});
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    CurlSmtpComponent smtp;
    smtp.setTimeout(1s);
    smtp.setAcceptanceTimeout(1s);
    smtp.setHost(server.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);

    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    timer.start(20);
    QCOMPARE(sendAndWait(smtp, kFrom, kTo, m_message), int16_t(Code::TimedOut));
    const int ticksWhileSending = ticks;
    timer.stop();
    QVERIFY2(ticksWhileSending > 0, "no events were processed while the server was silent");

    // The session is closed: no half-finished transaction is reused.
    QCOMPARE(sendAndWait(smtp, kFrom, kTo, m_message), int16_t(Code::NoSession));
    QCOMPARE(smtp.resetSession(), int16_t(Code::NoSession));
}

void tst_SmtpFailures::sendingNeedsASessionAndAReadableFile()
{
    CurlSmtpComponent smtp;
    QCOMPARE(sendAndWait(smtp, kFrom, kTo, m_message), int16_t(Code::NoSession));

    LocalSmtpServer server;
    QVERIFY(server.isRunning());
    smtp.setHost(server.hostAndPort());
    QCOMPARE(connectAndWait(smtp), 0);
    writeFile(file(QStringLiteral("empty.msg")), {});
    // Only a regular file of its own is read: never through a link, never a FIFO that would block.
    QVERIFY(QFile::link(m_message, file(QStringLiteral("link.msg"))));
    QCOMPARE(::mkfifo(QFile::encodeName(file(QStringLiteral("fifo.msg"))).constData(), 0600), 0);
    for (const char *name : {"missing.msg", "empty.msg", "link.msg", "fifo.msg"})
        QCOMPARE(sendAndWait(smtp, kFrom, kTo, file(QLatin1String(name))), int16_t(Code::FileUnreadable));
    QCOMPARE(sendAndWait(smtp, kFrom, kTo, m_message), 0);
    QCOMPARE(server.received().size(), 1);
}

// Servers that answer badly or not at all. Each ends the operation with its
// code and within bounds: memory, time (the reply timeout is long where it
// must not be what ends it), and no login or mail on a line left in clear.
void tst_SmtpFailures::hostileServers_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("host");   // mail.test.example is not loopback: TLS is required
    QTest::addColumn<bool>("sending");   // the fault comes after a good connection
    QTest::addColumn<QString>("cancel"); // when cancel() is called, if at all
    QTest::addColumn<int>("expected");

    const QString local = QStringLiteral("localhost");
    const QString remote = QStringLiteral("mail.test.example");
    QTest::newRow("endless reply") << "endless" << local << false << QString() << int(Code::ProtocolError);
    QTest::newRow("reply line without end") << "long-line" << local << false << QString() << int(Code::ProtocolError);
    QTest::newRow("drip-fed greeting") << "drip" << local << false << QString() << int(Code::TimedOut);
    QTest::newRow("reply that is no SMTP") << "not-smtp" << local << false << QString() << int(Code::ProtocolError);
    QTest::newRow("code SMTP does not have") << "odd-code" << local << false << QString() << int(Code::ProtocolError);
    QTest::newRow("STARTTLS refused") << "starttls-refused" << remote << false << QString() << int(Code::TlsFailure);
    QTest::newRow("STARTTLS answered with garbage")
        << "starttls-garbage" << remote << false << QString() << int(Code::TlsFailure);
    QTest::newRow("message stalls") << "stall-data" << local << true << QString() << int(Code::TimedOut);
    QTest::newRow("cancel while connecting") << "drip" << local << false << "connect" << int(Code::Cancelled);
    QTest::newRow("cancel during the transfer") << "stall-data" << local << true << "transfer" << int(Code::Cancelled);
    QTest::newRow("cancel while the server decides")
        << "silent-end" << local << true << "acceptance" << int(Code::Cancelled);
}

void tst_SmtpFailures::hostileServers()
{
    QFETCH(QString, scenario);
    QFETCH(QString, host);
    QFETCH(bool, sending);
    QFETCH(QString, cancel);
    QFETCH(int, expected);

    HostileSmtpServer server(scenario, {QStringLiteral("--interval"), QStringLiteral("0.2")});
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    const PeakMemory memory;
    CurlSmtpComponent smtp;
    smtp.setTimeout(expected == Code::TimedOut || cancel == QLatin1String("acceptance") ? 1s : 20s);
    smtp.setAcceptanceTimeout(20s);
    smtp.routeHost(host, QStringLiteral("127.0.0.1"));
    smtp.setHost(server.hostAndPort(host));
    smtp.setUserName(QStringLiteral("ann"));
    smtp.setPassword(QStringLiteral("secret"));
    if (host == QLatin1String("localhost"))
        smtp.setUserName(QString());

    bool awaited = false;
    connect(&smtp, &SmtpComponent::waitingForAcceptance, this, [&] {
        awaited = true;
        if (cancel == QLatin1String("acceptance"))
            QTimer::singleShot(1500, &smtp, [&] { smtp.cancel(); });
    });
    if (cancel == QLatin1String("transfer") || cancel == QLatin1String("connect"))
        QTimer::singleShot(1500, &smtp, [&] { smtp.cancel(); });

    int status = connectAndWait(smtp);
    if (sending) {
        QCOMPARE(status, 0);
        status = sendAndWait(smtp, kFrom, kTo, m_message);
    }
    QCOMPARE(status, expected);
    QCOMPARE(smtp.lastErrorCode(), expected);
    QVERIFY(!smtp.lastErrorText().isEmpty());
    QVERIFY(!smtp.isBusy());
    QCOMPARE(awaited, cancel == QLatin1String("acceptance"));
    if (sending)
        QVERIFY2(!server.lines(QStringLiteral("DATA")).isEmpty(), "the server never took part of the message");
    const QStringList commands = server.commands();
    QVERIFY2(!commands.contains(QStringLiteral("AUTH")), qPrintable(commands.join(QLatin1Char(' '))));
    QCOMPARE(commands.contains(QStringLiteral("MAIL")), sending);
    const qint64 growth = memory.growth();
    QVERIFY2(growth < 50 * 1024 * 1024, qPrintable(QStringLiteral("memory grew by %1 MB").arg(growth >> 20)));
}

// A refusal says its cause in words, with the server's reply where there is
// one, and the connection ends with QUIT where a reply can still be had.
void tst_SmtpFailures::refusalsSayWhyAndEndWithQuit_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("mailFrom");
    QTest::addColumn<bool>("quit");

    const QString messageSize = QLocale::c().formattedDataSize(QFileInfo(m_message).size(), 1, QLocale::DataSizeSIFormat);
    QTest::newRow("reply before the end of the message")
        << "early-reply" << int(Code::ProtocolError) << QStringList{QStringLiteral("before the end of the message")}
        << true << false;
    QTest::newRow("over the SIZE announced: nothing uploaded")
        << "size-limit" << 552 << QStringList{QStringLiteral("larger than"), messageSize, QStringLiteral("1.0 kB")}
        << false << true;
    QTest::newRow("size refused at MAIL FROM")
        << "size-refused" << 552
        << QStringList{QStringLiteral("larger than"), messageSize, QStringLiteral("100.0 MB"),
                       QStringLiteral("552 5.3.4 Message size exceeds fixed limit")}
        << true << true;
    QTest::newRow("relay denied")
        << "relay-denied" << 554
        << QStringList{QStringLiteral("does not pass mail on for this sender"), QStringLiteral("user name and password"),
                       QStringLiteral("554 5.7.1 <friend@example.net>: Relay access denied")}
        << true << true;
    QTest::newRow("login refused")
        << "login-refused" << 535
        << QStringList{QStringLiteral("refused the user name or password"), QStringLiteral("535 5.7.8 no login here")}
        << false << true;
}

void tst_SmtpFailures::refusalsSayWhyAndEndWithQuit()
{
    QFETCH(QString, scenario);
    QFETCH(int, expected);
    QFETCH(QStringList, words);
    QFETCH(bool, mailFrom);
    QFETCH(bool, quit);

    HostileSmtpServer server(scenario);
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    CurlSmtpComponent smtp;
    smtp.setTimeout(20s);
    smtp.setHost(server.hostAndPort());
    const bool login = scenario == QLatin1String("login-refused");
    smtp.setUserName(login ? QStringLiteral("ann") : QString());
    smtp.setPassword(QStringLiteral("secret"));
    int status = connectAndWait(smtp);
    if (!login) {
        QCOMPARE(status, 0);
        status = sendAndWait(smtp, kFrom, kTo, m_message);
    }
    QCOMPARE(status, expected);
    for (const QString &word : std::as_const(words))
        QVERIFY2(smtp.lastErrorText().contains(word), qPrintable(smtp.lastErrorText()));
    QVERIFY(server.lines(QStringLiteral("DATA")).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!server.lines(QStringLiteral("CLOSED")).isEmpty(), 5000);
    const QStringList commands = server.commands();
    QCOMPARE(commands.contains(QStringLiteral("MAIL")), mailFrom);
    QEXPECT_FAIL("login refused", "libcurl hangs up without QUIT when the login it makes while connecting fails",
                 Continue);
    QCOMPARE(commands.contains(QStringLiteral("QUIT")), quit);
}

// A call while an operation runs fails later and leaves that one be; a
// connection asked for right after a disconnect waits for the QUIT, and a
// cancel while it waits is not lost.
void tst_SmtpFailures::operationsRunOneAtATime()
{
    LocalSmtpServer server;
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    CurlSmtpComponent smtp;
    smtp.setHost(server.hostAndPort());
    QSignalSpy connected(&smtp, &SmtpComponent::connected);
    QSignalSpy connectFailed(&smtp, &SmtpComponent::connectFailed);
    QSignalSpy sendFinished(&smtp, &SmtpComponent::sendFinished);
    smtp.connectToServer();
    smtp.connectToServer();
    smtp.sendFile(kFrom, kTo, m_message);
    QCOMPARE(connectFailed.size() + sendFinished.size(), 0);
    QVERIFY(connected.wait(20000));
    QCOMPARE(connectFailed.size(), 1);
    QCOMPARE(connectFailed.first().first().value<int16_t>(), int16_t(Code::NoSession));
    QCOMPARE(sendFinished.size(), 1);
    QCOMPARE(sendFinished.first().first().value<int16_t>(), int16_t(Code::NoSession));

    for (int round = 0; round < 2; ++round) {
        QVERIFY2(sendAndWait(smtp, kFrom, kTo, m_message) == 0, qPrintable(smtp.lastErrorText()));
        smtp.disconnectFromServer();
        QCOMPARE(connectAndWait(smtp), 0);
    }
    smtp.disconnectFromServer();
    QCOMPARE(awaitOutcome(smtp, [&] { smtp.connectToServer(); smtp.cancel(); }), int16_t(Code::Cancelled));
    QCOMPARE(server.received().size(), 2);
}

// What a caller waits for ends at once; a QUIT asked for still goes out.
void tst_SmtpFailures::destroyingTheComponentMidOperationEndsIt_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("phase");
    QTest::newRow("connecting") << QStringLiteral("drip") << QStringLiteral("connect");
    QTest::newRow("sending") << QStringLiteral("stall-data") << QStringLiteral("send");
    QTest::newRow("awaiting acceptance") << QStringLiteral("silent-end") << QStringLiteral("send");
    QTest::newRow("right after a disconnect") << QStringLiteral("silent-end") << QStringLiteral("quit");
}

void tst_SmtpFailures::destroyingTheComponentMidOperationEndsIt()
{
    QFETCH(QString, scenario);
    QFETCH(QString, phase);
    HostileSmtpServer server(scenario, {QStringLiteral("--interval"), QStringLiteral("0.2")});
    QVERIFY2(server.isRunning(), qPrintable(server.errors()));
    auto smtp = std::make_unique<CurlSmtpComponent>();
    smtp->setHost(server.hostAndPort());
    QVERIFY(phase == QLatin1String("connect") || connectAndWait(*smtp) == 0);
    if (phase == QLatin1String("quit"))
        smtp->disconnectFromServer();
    else
        phase == QLatin1String("send") ? smtp->sendFile(kFrom, kTo, m_message) : smtp->connectToServer();
    if (phase != QLatin1String("quit"))
        QTest::qWait(1000);
    QElapsedTimer clock;
    clock.start();
    smtp.reset();
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
    QCOMPARE(server.commands().contains(QStringLiteral("QUIT")), phase == QLatin1String("quit"));
}

QTEST_GUILESS_MAIN(tst_SmtpFailures)
#include "tst_smtpfailures.moc"
