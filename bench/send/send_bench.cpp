// The client side of the send benchmark.
//   mirabo_send_bench compose <message file> <clip bytes>
//   mirabo_send_bench send <host:port> <message file>
#include "VmimeMailMessage.h"
#include "CurlSmtpComponent.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const QString kFrom = QStringLiteral("me@example.org");
const QString kTo = QStringLiteral("friend@example.net");

int compose(const QString &messagePath, qsizetype clipBytes)
{
    QTemporaryDir dir;
    const QString clip = dir.filePath(QStringLiteral("mirabo.mpg"));
    QByteArray bytes(clipBytes, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    QFile file(clip);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return 1;
    file.close();

    VmimeMailMessage message;
    message.reset();
    message.setFrom(kFrom);
    message.setTo(kTo);
    message.setMailer(QStringLiteral("Mirabo v1.00 By Dorvale"));
    message.setSubject(QStringLiteral("Mirabo: send benchmark"));
    message.setBody(QStringLiteral("A benchmark message.\r\n"));
    message.attachFile(clip);
    message.saveToFile(messagePath);
    return 0;
}

int send(const QString &server, const QString &messagePath)
{
    CurlSmtpComponent smtp;
    int16_t status = -1;
    QObject::connect(&smtp, &SmtpComponent::connected, &smtp, [&] {
        smtp.setSender(kFrom);
        smtp.clearEnvelope();
        smtp.setRecipient(kTo);
        status = smtp.sendFile(kFrom, kTo, messagePath);
        if (status == 0)
            (void)smtp.resetSession();
        smtp.disconnectFromServer();
        QCoreApplication::quit();
    });
    smtp.setHost(server);
    if (smtp.connectToServer() != 0) {
        std::fprintf(stderr, "connect: %s\n", qPrintable(smtp.lastErrorText()));
        return 1;
    }
    QCoreApplication::exec();
    if (status != 0) {
        std::fprintf(stderr, "send: %s\n", qPrintable(smtp.lastErrorText()));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    try {
        if (args.size() == 4 && args.at(1) == QLatin1String("compose"))
            return compose(args.at(2), args.at(3).toLongLong());
        if (args.size() == 4 && args.at(1) == QLatin1String("send"))
            return send(args.at(2), args.at(3));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: %s compose <file> <clip bytes> | send <host:port> <file>\n", argv[0]);
    return 2;
}
