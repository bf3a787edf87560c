// The client side of the send benchmark (mirabo_bench_message composes the
// message it sends).
//   mirabo_send_bench send <host:port> <message file> [--trace]
//   mirabo_send_bench cancel <host:port> <message file> transfer|acceptance
// --trace prints "PROGRESS <ms> <percent>" for each value the bar would show
// and "ARRIVED <ms>" when all of the message is acknowledged. cancel calls
// cancel() half a second into the transfer, or half a second after the whole
// message has arrived, and prints "CANCELLED <ms>": how long the component
// took from cancel() to its sendFinished().
#include "CurlSmtpComponent.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

namespace {

const QString kFrom = QStringLiteral("me@example.org");
const QString kTo = QStringLiteral("friend@example.net");

int send(const QString &server, const QString &messagePath, const QString &mode)
{
    CurlSmtpComponent smtp;
    QElapsedTimer clock;
    if (mode == QLatin1String("--trace")) {
        QObject::connect(&smtp, &SmtpComponent::progress, &smtp, [&](qint64, qint64, int16_t percent) {
            std::printf("PROGRESS %lld %d\n", static_cast<long long>(clock.elapsed()), int(percent));
        });
        QObject::connect(&smtp, &SmtpComponent::waitingForAcceptance, &smtp, [&] {
            std::printf("ARRIVED %lld\n", static_cast<long long>(clock.elapsed()));
        });
    }
    QElapsedTimer sinceCancel;
    const auto cancelSoon = [&] {
        QTimer::singleShot(500, &smtp, [&] {
            sinceCancel.start();
            smtp.cancel();
        });
    };
    if (mode == QLatin1String("acceptance"))
        QObject::connect(&smtp, &SmtpComponent::waitingForAcceptance, &smtp, cancelSoon);

    int16_t status = -1;
    QObject::connect(&smtp, &SmtpComponent::connectFailed, &smtp, [&](int16_t failed) {
        std::fprintf(stderr, "connect: %s\n", qPrintable(smtp.lastErrorText()));
        QCoreApplication::exit(failed);
    });
    QObject::connect(&smtp, &SmtpComponent::connected, &smtp, [&] {
        smtp.setSender(kFrom);
        smtp.clearEnvelope();
        smtp.setRecipient(kTo);
        if (mode == QLatin1String("transfer"))
            cancelSoon();
        clock.start();
        smtp.sendFile(kFrom, kTo, messagePath);
    });
    QObject::connect(&smtp, &SmtpComponent::sendFinished, &smtp, [&](int16_t finished) {
        status = finished;
        if (sinceCancel.isValid())
            std::printf("CANCELLED %lld\n", static_cast<long long>(sinceCancel.elapsed()));
        if (status == 0)
            (void)smtp.resetSession();
        smtp.disconnectFromServer();
        QCoreApplication::quit();
    });
    smtp.setHost(server);
    smtp.connectToServer();
    if (QCoreApplication::exec() != 0)
        return 1;
    const int16_t expected = sinceCancel.isValid() ? int16_t(smtp::Cancelled) : int16_t(0);
    if (status != expected) {
        std::fprintf(stderr, "send: %d %s\n", int(status), qPrintable(smtp.lastErrorText()));
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
        if ((args.size() == 4 || args.size() == 5) && args.at(1) == QLatin1String("send"))
            return send(args.at(2), args.at(3), args.value(4));
        if (args.size() == 5 && args.at(1) == QLatin1String("cancel"))
            return send(args.at(2), args.at(3), args.at(4));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: %s send <host:port> <file> [--trace] | "
                         "cancel <host:port> <file> transfer|acceptance\n", argv[0]);
    return 2;
}
