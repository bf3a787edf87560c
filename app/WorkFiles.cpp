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
    if (::access(QFile::encodeName(programDir).constData(), W_OK) == 0)
        return programDir;
    const QString folder = stateHome() + QStringLiteral("/Mirabo");
    makePrivatePath(folder);
    return folder;
}
