// Composes the send benchmark's message as the window does, with a clip of
// random bytes: mirabo_bench_message <message file> <clip bytes>
#include "VmimeMailMessage.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

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
    message.setFrom(QStringLiteral("me@example.org"));
    message.setTo(QStringLiteral("friend@example.net"));
    message.setMailer(QStringLiteral("Mirabo v1.00 By Dorvale"));
    message.setSubject(QStringLiteral("Mirabo: send benchmark"));
    message.setBody(QStringLiteral("A benchmark message.\r\n"));
    message.attachFile(clip);
    message.saveToFile(messagePath);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: %s <message file> <clip bytes>\n", argv[0]);
        return 2;
    }
    try {
        return compose(args.at(1), args.at(2).toLongLong());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
