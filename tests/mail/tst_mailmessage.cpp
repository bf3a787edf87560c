// The message component, read back by Python's email package.
#include "MailAddress.h"
#include "MailTestSupport.h"
#include "VmimeMailMessage.h"

#include <QJsonArray>
#include <QtTest>

#include <stdexcept>

#include <sys/stat.h>

using namespace mailtest;

class tst_MailMessage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void carriesWhatTheWindowSets_data();
    void carriesWhatTheWindowSets();
    void bodyArrivesByteForByte_data();
    void bodyArrivesByteForByte();
    void eachSaveGetsItsOwnMessageId();
    void lineBreaksInHeaderTextsBecomeSpaces();
    void refusesAddressesThatCouldBreakHeaders_data();
    void refusesAddressesThatCouldBreakHeaders();
    void internationalDomainsTakeTheirAsciiForm_data();
    void internationalDomainsTakeTheirAsciiForm();
    void missingAttachmentIsReportedAndTheOldFileKept();
    void resetForgetsThePreviousMessage();
    void verifyFileAcceptsTheSavedMessageUnchanged();
    void verifyFileRefusesChangedOrCutFiles_data();
    void verifyFileRefusesChangedOrCutFiles();
    void refusesWhatIsNoRegularFileOfItsOwn();

private:
    QString file(const QString &name) const { return m_dir.filePath(name); }
    QByteArray bodyOf(const QJsonObject &inspected) const;

    QTemporaryDir m_dir;
    QByteArray m_clip;
};

void tst_MailMessage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_clip = randomBytes(300 * 1024 + 7);
    writeFile(file(QStringLiteral("mirabo.mpg")), m_clip);
}

QByteArray tst_MailMessage::bodyOf(const QJsonObject &inspected) const
{
    const QJsonArray texts = inspected.value(QStringLiteral("texts")).toArray();
    if (texts.size() != 1)
        return "<" + QByteArray::number(texts.size()) + " text parts>";
    return QByteArray::fromBase64(texts.at(0).toObject().value(QStringLiteral("bytes")).toString().toLatin1());
}

void tst_MailMessage::carriesWhatTheWindowSets_data()
{
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("fullName");

    QTest::newRow("plain") << QStringLiteral("Holiday greetings") << QStringLiteral("Ann Smith");
    QTest::newRow("German") << QStringLiteral("Grüße aus Köln – bis bald") << QStringLiteral("Jürgen Müller");
    QTest::newRow("German, folded")
        << QStringLiteral("Grüße aus Köln – ein langer Betreff, der über die Zeilenlänge hinausgeht und gefaltet wird")
        << QStringLiteral("Jürgen Müller");
    QTest::newRow("Japanese, folded")
        << QStringLiteral("日本語の件名です。とても長い件名なので、ヘッダーの行は折り返されます。もう少し長くします。")
        << QStringLiteral("山田 太郎");
    QTest::newRow("empty subject") << QString() << QStringLiteral("Ann");
    QTest::newRow("long ASCII, spaces kept")
        << QStringLiteral("a  subject  with  double  spaces  that  is  long  enough  to  be  folded  ")
        << QStringLiteral("Ann");
    QTest::newRow("looks encoded") << QStringLiteral("=?utf-8?q?not_encoded?= =?") << QStringLiteral("Ann");
}

void tst_MailMessage::carriesWhatTheWindowSets()
{
    QFETCH(QString, subject);
    QFETCH(QString, fullName);

    VmimeMailMessage message;
    composeLikeTheWindow(message, QStringLiteral("me@example.org"), QStringLiteral("friend@example.net"),
                         subject, fullName, file(QStringLiteral("mirabo.mpg")),
                         file(QStringLiteral("message.msg")));
    const QJsonObject m = inspect(file(QStringLiteral("message.msg")));
    QVERIFY2(!m.contains(QStringLiteral("error")), qPrintable(m.value(QStringLiteral("error")).toString()));

    QCOMPARE(m.value(QStringLiteral("from")).toString(), QStringLiteral("me@example.org"));
    QCOMPARE(m.value(QStringLiteral("to")).toString(), QStringLiteral("friend@example.net"));
    QCOMPARE(m.value(QStringLiteral("subject")).toString(), QStringLiteral("Mirabo: ") + subject);
    QCOMPARE(m.value(QStringLiteral("x_mailer")).toString(), QStringLiteral("Mirabo v1.00 By Dorvale"));
    QCOMPARE(m.value(QStringLiteral("header_names")).toVariant().toStringList().count(QStringLiteral("x-mailer")), 1);
    QCOMPARE(m.value(QStringLiteral("mime_version")).toString(), QStringLiteral("1.0"));
    QVERIFY(m.value(QStringLiteral("message_id")).toString().startsWith(QLatin1Char('<')));
    QVERIFY2(!m.value(QStringLiteral("date")).isNull(), "no readable Date");
    QCOMPARE(m.value(QStringLiteral("defects")).toArray(), QJsonArray());

    const QJsonObject text = m.value(QStringLiteral("texts")).toArray().at(0).toObject();
    QCOMPARE(text.value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
    QCOMPARE(text.value(QStringLiteral("charset")).toString(), QStringLiteral("utf-8"));
    QCOMPARE(bodyOf(m), windowBody(fullName).toUtf8());

    const QJsonArray attachments = m.value(QStringLiteral("attachments")).toArray();
    QCOMPARE(attachments.size(), 1);
    const QJsonObject clip = attachments.at(0).toObject();
    QCOMPARE(clip.value(QStringLiteral("filename")).toString(), QStringLiteral("mirabo.mpg"));
    QCOMPARE(clip.value(QStringLiteral("content_type")).toString(), QStringLiteral("video/mpeg"));
    QCOMPARE(clip.value(QStringLiteral("encoding")).toString(), QStringLiteral("base64"));
    QCOMPARE(clip.value(QStringLiteral("sha256")).toString(), sha256Hex(m_clip));
}

void tst_MailMessage::bodyArrivesByteForByte_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("lines of dots") << QStringLiteral(".\r\n..\r\n.hidden\r\n") << QByteArray(".\r\n..\r\n.hidden\r\n");
    const QByteArray longLine = QByteArray(2000, 'a') + "\r\n";
    QTest::newRow("line over 998 bytes") << QString::fromLatin1(longLine) << longLine;
    QTest::newRow("bare CR and LF") << QStringLiteral("one\ntwo\rthree\r\n") << QByteArray("one\r\ntwo\r\nthree\r\n");
    QTest::newRow("trailing white space") << QStringLiteral("spaces   \r\ntab\t\r\n") << QByteArray("spaces   \r\ntab\t\r\n");
    QTest::newRow("From at line start") << QStringLiteral("From here on\r\n") << QByteArray("From here on\r\n");
    QTest::newRow("no final line break") << QStringLiteral("last line") << QByteArray("last line");
    QTest::newRow("UTF-8") << QStringLiteral("Ünïcödé – 日本 😀\r\n") << QStringLiteral("Ünïcödé – 日本 😀\r\n").toUtf8();
    QTest::newRow("empty") << QString() << QByteArray();
}

void tst_MailMessage::bodyArrivesByteForByte()
{
    QFETCH(QString, body);
    QFETCH(QByteArray, expected);

    VmimeMailMessage message;
    message.setFrom(QStringLiteral("me@example.org"));
    message.setTo(QStringLiteral("friend@example.net"));
    message.setSubject(QStringLiteral("Mirabo: body"));
    message.setBody(body);
    message.attachFile(file(QStringLiteral("mirabo.mpg")));
    message.saveToFile(file(QStringLiteral("body.msg")));
    const QJsonObject m = inspect(file(QStringLiteral("body.msg")));
    QCOMPARE(m.value(QStringLiteral("defects")).toArray(), QJsonArray());
    QCOMPARE(bodyOf(m), expected);
    for (const QByteArray &line : readFile(file(QStringLiteral("body.msg"))).split('\n'))
        QVERIFY2(line.size() <= 999, "a line longer than SMTP allows");
}

void tst_MailMessage::eachSaveGetsItsOwnMessageId()
{
    VmimeMailMessage first;
    VmimeMailMessage second;
    QSet<QString> ids;
    for (VmimeMailMessage *message : {&first, &first, &second}) {
        composeLikeTheWindow(*message, QStringLiteral("me@example.org"), QStringLiteral("friend@example.net"),
                             QStringLiteral("id"), QStringLiteral("Ann"), file(QStringLiteral("mirabo.mpg")),
                             file(QStringLiteral("id.msg")));
        ids.insert(inspect(file(QStringLiteral("id.msg"))).value(QStringLiteral("message_id")).toString());
    }
    ids.remove(QString());
    QCOMPARE(ids.size(), 3);
}

void tst_MailMessage::lineBreaksInHeaderTextsBecomeSpaces()
{
    VmimeMailMessage message;
    message.setFrom(QStringLiteral("me@example.org"));
    message.setTo(QStringLiteral("friend@example.net"));
    message.setMailer(QStringLiteral("Mirabo\nX-Injected: 1"));
    message.setSubject(QStringLiteral("Mirabo: hi\r\nBcc: spy@example.com\r\n\r\nbody"));
    message.setBody(QStringLiteral("text\r\n"));
    message.saveToFile(file(QStringLiteral("breaks.msg")));

    const QJsonObject m = inspect(file(QStringLiteral("breaks.msg")));
    QCOMPARE(m.value(QStringLiteral("subject")).toString(), QStringLiteral("Mirabo: hi Bcc: spy@example.com  body"));
    QCOMPARE(m.value(QStringLiteral("x_mailer")).toString(), QStringLiteral("Mirabo X-Injected: 1"));
    const QStringList names = m.value(QStringLiteral("header_names")).toVariant().toStringList();
    QVERIFY(!names.contains(QStringLiteral("bcc")));
    QVERIFY(!names.contains(QStringLiteral("x-injected")));
    QCOMPARE(bodyOf(m), QByteArray("text\r\n"));
}

void tst_MailMessage::refusesAddressesThatCouldBreakHeaders_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("refused");   // else the header carries it as it is
    QTest::newRow("CR LF and a header") << QStringLiteral("friend@example.net\r\nBcc: spy@example.com") << true;
    QTest::newRow("LF") << QStringLiteral("friend@example.net\n") << true;
    QTest::newRow("two addresses") << QStringLiteral("a@example.net, b@example.net") << true;
    QTest::newRow("display name") << QStringLiteral("Friend <a@example.net>") << true;
    QTest::newRow("NUL") << QStringLiteral("a@example.net") + QChar(0) << true;
    QTest::newRow("line separator") << QStringLiteral("a@example.net\u2028b") << true;
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("no @") << QStringLiteral("example.net") << true;

    // SMTP's limits: 64 before the "@", 254 in all, counted in ASCII form.
    const QString local64(64, QLatin1Char('l'));
    const auto domainOf = [](qsizetype size) {
        QString domain = QStringLiteral("example");
        while (domain.size() < size)
            domain.prepend(QString(std::min<qsizetype>(60, size - domain.size() - 1), QLatin1Char('d')) + QLatin1Char('.'));
        return domain;
    };
    QTest::newRow("64 before the @, 254 in all") << local64 + QLatin1Char('@') + domainOf(189) << false;
    QTest::newRow("65 before the @") << QLatin1Char('l') + local64 + QStringLiteral("@example.net") << true;
    QTest::newRow("255 in all") << local64 + QLatin1Char('@') + domainOf(190) << true;
    QTest::newRow("254 in all, 260 in ASCII form") << local64 + QStringLiteral("@ü.") + domainOf(187) << true;
    QTest::newRow("encoded word") << QStringLiteral("=?utf-8?q?evil?=@example.org") << true;
}

void tst_MailMessage::refusesAddressesThatCouldBreakHeaders()
{
    QFETCH(QString, address);
    QFETCH(bool, refused);
    VmimeMailMessage message;
    const auto refusal = [&](auto set) -> QString {
        try {
            set();
        } catch (const std::invalid_argument &e) {
            return QString::fromUtf8(e.what());
        }
        return {};
    };
    if (!refused) {
        composeLikeTheWindow(message, address, address, QStringLiteral("long"), QStringLiteral("Ann"),
                             file(QStringLiteral("mirabo.mpg")), file(QStringLiteral("accepted.msg")));
        const QJsonObject m = inspect(file(QStringLiteral("accepted.msg")));
        QCOMPARE(m.value(QStringLiteral("from")).toString(), address);
        QCOMPARE(m.value(QStringLiteral("to")).toString(), address);
        return;
    }
    QVERIFY(refusal([&] { message.setFrom(address); }).contains(QLatin1String("sender")));
    QVERIFY(refusal([&] { message.setTo(address); }).contains(QLatin1String("recipient")));
    // Nothing half-set slips into a message saved afterwards.
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, message.saveToFile(file(QStringLiteral("refused.msg"))));
    QVERIFY(!QFile::exists(file(QStringLiteral("refused.msg"))));
}

// Mirabo's own conversion, by itself: curl and vmime convert once more
// downstream, which would hide a conversion that returned its input.
void tst_MailMessage::internationalDomainsTakeTheirAsciiForm_data()
{
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("ascii");   // empty: no valid name
    QTest::newRow("ASCII, as it is") << QStringLiteral("Example.ORG") << QStringLiteral("Example.ORG");
    QTest::newRow("German") << QStringLiteral("bücher.example") << QStringLiteral("xn--bcher-kva.example");
    QTest::newRow("capitals") << QStringLiteral("BÜCHER.example") << QStringLiteral("xn--bcher-kva.example");
    QTest::newRow("Japanese") << QStringLiteral("日本.example") << QStringLiteral("xn--wgv71a.example");
    QTest::newRow("empty label") << QStringLiteral("bücher..example") << QString();
}

void tst_MailMessage::internationalDomainsTakeTheirAsciiForm()
{
    QFETCH(QString, domain);
    QFETCH(QString, ascii);
    QCOMPARE(asciiDomain(domain), ascii);
    QCOMPARE(withAsciiDomain(QStringLiteral("ann@") + domain), ascii.isEmpty() ? QString() : QStringLiteral("ann@") + ascii);
}

void tst_MailMessage::missingAttachmentIsReportedAndTheOldFileKept()
{
    VmimeMailMessage message;
    try {
        message.attachFile(file(QStringLiteral("gone/mirabo.mpg")));
        QFAIL("a missing file was attached");
    } catch (const std::runtime_error &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(file(QStringLiteral("gone/mirabo.mpg"))), e.what());
    }

    const QString saved = file(QStringLiteral("kept.msg"));
    composeLikeTheWindow(message, QStringLiteral("me@example.org"), QStringLiteral("friend@example.net"),
                         QStringLiteral("first"), QStringLiteral("Ann"), file(QStringLiteral("mirabo.mpg")), saved);
    const QByteArray before = readFile(saved);

    // The clip disappears between attaching and saving.
    const QString clip = file(QStringLiteral("vanishing.mpg"));
    writeFile(clip, m_clip);
    message.reset();
    message.setFrom(QStringLiteral("me@example.org"));
    message.setTo(QStringLiteral("friend@example.net"));
    message.attachFile(clip);
    QVERIFY(QFile::remove(clip));
    try {
        message.saveToFile(saved);
        QFAIL("a message was saved without its attachment");
    } catch (const std::runtime_error &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(QLatin1String("vanishing.mpg")), e.what());
    }
    QCOMPARE(readFile(saved), before);
}

void tst_MailMessage::resetForgetsThePreviousMessage()
{
    VmimeMailMessage message;
    composeLikeTheWindow(message, QStringLiteral("me@example.org"), QStringLiteral("friend@example.net"),
                         QStringLiteral("first"), QStringLiteral("Ann"), file(QStringLiteral("mirabo.mpg")),
                         file(QStringLiteral("first.msg")));
    message.reset();
    message.setFrom(QStringLiteral("other@example.org"));
    message.setTo(QStringLiteral("else@example.net"));
    message.setBody(QStringLiteral("second\r\n"));
    message.saveToFile(file(QStringLiteral("second.msg")));

    const QJsonObject m = inspect(file(QStringLiteral("second.msg")));
    QCOMPARE(m.value(QStringLiteral("from")).toString(), QStringLiteral("other@example.org"));
    QVERIFY(m.value(QStringLiteral("x_mailer")).isNull());
    QCOMPARE(m.value(QStringLiteral("subject")).toString(), QString());
    QCOMPARE(m.value(QStringLiteral("attachments")).toArray().size(), 0);
    QCOMPARE(bodyOf(m), QByteArray("second\r\n"));
}

void tst_MailMessage::verifyFileAcceptsTheSavedMessageUnchanged()
{
    VmimeMailMessage message;
    const QString path = file(QStringLiteral("verify.msg"));
    composeLikeTheWindow(message, QStringLiteral("me@example.org"), QStringLiteral("friend@example.net"),
                         QStringLiteral("verify"), QStringLiteral("Ann"), file(QStringLiteral("mirabo.mpg")), path);
    const QByteArray before = readFile(path);
    message.verifyFile(path);
    QCOMPARE(readFile(path), before);
    // Another instance has no record of the file, only its structure to go by.
    VmimeMailMessage().verifyFile(path);
}

void tst_MailMessage::verifyFileRefusesChangedOrCutFiles_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("sameInstance");
    for (const bool same : {true, false}) {
        const char *who = same ? "saved here" : "saved elsewhere";
        QTest::addRow("cut short, %s", who) << QStringLiteral("cut") << same;
        QTest::addRow("gone, %s", who) << QStringLiteral("gone") << same;
    }
    QTest::newRow("grown, saved here") << QStringLiteral("grown") << true;
    QTest::newRow("one byte changed, saved here") << QStringLiteral("flipped") << true;
    QTest::newRow("headers only, saved elsewhere") << QStringLiteral("headers") << false;
}

void tst_MailMessage::verifyFileRefusesChangedOrCutFiles()
{
    QFETCH(QString, change);
    QFETCH(bool, sameInstance);

    VmimeMailMessage message;
    const QString path = file(QStringLiteral("changed.msg"));
    composeLikeTheWindow(message, QStringLiteral("me@example.org"), QStringLiteral("friend@example.net"),
                         QStringLiteral("changed"), QStringLiteral("Ann"), file(QStringLiteral("mirabo.mpg")), path);
    QByteArray bytes = readFile(path);
    if (change == QLatin1String("cut"))
        bytes.chop(bytes.size() / 3);
    else if (change == QLatin1String("grown"))
        bytes.append("--trailing garbage--\r\n");
    else if (change == QLatin1String("flipped"))
        bytes[bytes.size() / 2] = bytes[bytes.size() / 2] == 'A' ? 'B' : 'A';
    else if (change == QLatin1String("headers"))
        bytes = bytes.left(bytes.indexOf("\r\n\r\n") + 4);
    if (change == QLatin1String("gone"))
        QVERIFY(QFile::remove(path));
    else
        writeFile(path, bytes);

    VmimeMailMessage other;
    VmimeMailMessage &checker = sameInstance ? message : other;
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, checker.verifyFile(path));
    if (change != QLatin1String("gone"))
        QCOMPARE(readFile(path), bytes);
}

// A symbolic link is never read through, and a FIFO never waited on.
void tst_MailMessage::refusesWhatIsNoRegularFileOfItsOwn()
{
    VmimeMailMessage message;
    const QString saved = file(QStringLiteral("regular.msg"));
    composeLikeTheWindow(message, QStringLiteral("me@example.org"), QStringLiteral("friend@example.net"),
                         QStringLiteral("regular"), QStringLiteral("Ann"), file(QStringLiteral("mirabo.mpg")), saved);
    QVERIFY(QFile::link(file(QStringLiteral("mirabo.mpg")), file(QStringLiteral("clip-link.mpg"))));
    QVERIFY(QFile::link(saved, file(QStringLiteral("message-link.msg"))));
    QCOMPARE(::mkfifo(QFile::encodeName(file(QStringLiteral("fifo"))).constData(), 0600), 0);
    for (const char *name : {"clip-link.mpg", "fifo"})
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, message.attachFile(file(QLatin1String(name))));
    for (const char *name : {"message-link.msg", "fifo"})
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, message.verifyFile(file(QLatin1String(name))));
}

QTEST_GUILESS_MAIN(tst_MailMessage)
#include "tst_mailmessage.moc"
