#include "WorkFolder.h"

#include "RegularFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const QString kLockName = QStringLiteral("mirabo.lock");
const QString kRecordName = QStringLiteral("mirabo.session");
constexpr qint64 kRecordMaxBytes = 64 * 1024;
constexpr int kCallMs = 1000;
const QByteArray kComeForward = "come forward\n";

QJsonObject toJson(const workfiles::Identity &id)
{
    if (!id.valid())
        return {};
    return {{QStringLiteral("size"), id.size},
            {QStringLiteral("modified"), QString::number(id.modifiedNs)},
            {QStringLiteral("inode"), QString::number(id.inode)},
            {QStringLiteral("device"), QString::number(id.device)}};
}

workfiles::Identity identityFrom(const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    if (!o.contains(QStringLiteral("size")))
        return {};
    return {qint64(o.value(QStringLiteral("size")).toDouble(-1)),
            o.value(QStringLiteral("modified")).toString().toLongLong(),
            o.value(QStringLiteral("inode")).toString().toULongLong(),
            o.value(QStringLiteral("device")).toString().toULongLong()};
}

QByteArray readRecordFile(const QString &path)
{
    QFile file(path);
    QString why;
    if (!openRegularFile(file, why) || file.size() > kRecordMaxBytes)
        return {};
    return file.readAll();
}

bool writeWholeFile(const QString &path, const QByteArray &data)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool ok = done == data.size() && ::fsync(fd) == 0;
    ::close(fd);
    // rename replaces whatever stands at the name, a link included, never its target.
    if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

} // namespace

WorkFolder::WorkFolder(QString path, QObject *parent)
    : QObject(parent)
    , m_path(std::move(path))
{
}

WorkFolder::~WorkFolder() = default;

QString WorkFolder::file(const QString &name) const
{
    return QDir(m_path).filePath(name);
}

QString WorkFolder::socketName() const
{
    const QByteArray where = QFile::encodeName(QDir(m_path).canonicalPath());
    return QStringLiteral("mirabo-%1-%2")
        .arg(::getuid())
        .arg(QString::fromLatin1(QCryptographicHash::hash(where, QCryptographicHash::Sha256).toHex().left(16)));
}

bool WorkFolder::claim()
{
    if (m_claimed)
        return true;
    m_lock = std::make_unique<QLockFile>(file(kLockName));
    // The lock lasts as long as this copy runs, however long that is.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        // Only a lock held by another copy keeps this one out; a folder where
        // no lock can be made is used all the same, and says so when written.
        const bool held = m_lock->error() == QLockFile::LockFailedError;
        m_lock.reset();
        if (held)
            return false;
    }
    m_claimed = true;
    readRecord();

    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketName());   // left by a copy that died
    if (m_server->listen(socketName())) {
        connect(m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *caller = m_server->nextPendingConnection()) {
                connect(caller, &QLocalSocket::readyRead, this, [this, caller] {
                    if (caller->readAll().contains(kComeForward.trimmed()))
                        emit ownerWanted();
                    caller->disconnectFromServer();
                });
                connect(caller, &QLocalSocket::disconnected, caller, &QObject::deleteLater);
            }
        });
    }
    return true;
}

bool WorkFolder::callOwner() const
{
    QLocalSocket socket;
    socket.connectToServer(socketName());
    if (!socket.waitForConnected(kCallMs))
        return false;
    socket.write(kComeForward);
    return socket.waitForBytesWritten(kCallMs);
}

void WorkFolder::readRecord()
{
    const QJsonObject o = QJsonDocument::fromJson(readRecordFile(file(kRecordName))).object();
    Record r;
    r.clip = identityFrom(o.value(QStringLiteral("clip")));
    r.recordedAt = QDateTime::fromString(o.value(QStringLiteral("recorded")).toString(), Qt::ISODate);
    r.compressed = identityFrom(o.value(QStringLiteral("compressed")));
    r.compressedName = o.value(QStringLiteral("compressedName")).toString();
    // Only the program's own names are taken from the file.
    if (r.compressedName != workfiles::CompressedForPhones)
        r.compressedName = workfiles::Compressed;
    r.compressedFrom = identityFrom(o.value(QStringLiteral("compressedFrom")));
    r.unconfirmedTo = o.value(QStringLiteral("unconfirmedTo")).toString();
    r.unconfirmedAt = QDateTime::fromString(o.value(QStringLiteral("unconfirmedAt")).toString(), Qt::ISODate);
    m_record = r;
}

bool WorkFolder::setRecord(const Record &r)
{
    if (r == m_record)
        return true;
    m_record = r;
    // A folder with nothing in it is left empty.
    if (r == Record{}) {
        workfiles::removeRegularFile(file(kRecordName));
        return !workfiles::identityOf(file(kRecordName)).valid();
    }
    QJsonObject o;
    const auto put = [&o](const char *key, const QJsonValue &value) {
        if (!(value.isObject() && value.toObject().isEmpty()) && !(value.isString() && value.toString().isEmpty()))
            o.insert(QLatin1String(key), value);
    };
    put("clip", toJson(r.clip));
    put("recorded", r.recordedAt.toString(Qt::ISODate));
    put("compressed", toJson(r.compressed));
    if (r.compressed.valid())
        put("compressedName", r.compressedName);
    put("compressedFrom", toJson(r.compressedFrom));
    put("unconfirmedTo", r.unconfirmedTo);
    put("unconfirmedAt", r.unconfirmedAt.toString(Qt::ISODate));
    return writeWholeFile(file(kRecordName), QJsonDocument(o).toJson());
}
