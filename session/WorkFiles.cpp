#include "WorkFiles.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each missing folder of the path is made with mode 0700, as the XDG base
// directory rules ask; existing ones are left as they are.
void makePrivatePath(const QString &path)
{
    const QStringList parts = QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString sofar;
    for (const QString &part : parts) {
        sofar += QLatin1Char('/') + part;
        ::mkdir(QFile::encodeName(sofar).constData(), S_IRWXU);
    }
}

QString stateHome()
{
    // A relative XDG_STATE_HOME is to be ignored.
    const QString set = qEnvironmentVariable("XDG_STATE_HOME");
    if (QDir::isAbsolutePath(set))
        return set;
    return QDir::homePath() + QStringLiteral("/.local/state");
}

} // namespace

QString workfiles::workingFolder(const QString &programDir)
{
    // Only the build writes this file; an install, even into a folder the
    // user owns, leaves it out.
    const bool buildTree = QFile::exists(programDir + QStringLiteral("/mirabo-build-tree"));
    if (buildTree && ::access(QFile::encodeName(programDir).constData(), W_OK) == 0)
        return programDir;
    const QString folder = stateHome() + QStringLiteral("/Mirabo");
    makePrivatePath(folder);
    return folder;
}

workfiles::Identity workfiles::identityOf(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            quint64(st.st_ino), quint64(st.st_dev)};
}

void workfiles::removeRegularFile(const QString &path)
{
    if (identityOf(path).valid())
        ::unlink(QFile::encodeName(path).constData());
}

void workfiles::removeLink(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(native.constData());
}
