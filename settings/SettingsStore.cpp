#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kSection = QStringLiteral("Settings");
}

QString IniSettingsStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Mirabo/Mirabo.conf");
}

IniSettingsStore::IniSettingsStore(QString path)
    : m_path(std::move(path))
{
    if (QFileInfo::exists(m_path))
        restrictToOwner();
}

QString IniSettingsStore::read(const QString &name) const
{
    QSettings ini(m_path, QSettings::IniFormat);
    ini.beginGroup(kSection);
    const QStringList keys = ini.childKeys();
    for (const QString &key : keys) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return ini.value(key).toString();
    }
    return {};
}

void IniSettingsStore::save(const QString &name, const QString &value)
{
    // The file is made before QSettings writes it: its atomic save keeps the
    // mode of an existing file, so the password is never readable by others.
    if (!QFileInfo::exists(m_path)) {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        const QByteArray native = QFile::encodeName(m_path);
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            throw std::runtime_error("Could not create the settings file " + m_path.toStdString()
                                     + ": " + std::strerror(errno));
        ::close(fd);
    }
    restrictToOwner();

    QSettings ini(m_path, QSettings::IniFormat);
    ini.beginGroup(kSection);
    const QStringList keys = ini.childKeys();
    for (const QString &key : keys) {
        if (key.compare(name, Qt::CaseInsensitive) == 0 && key != name)
            ini.remove(key);
    }
    ini.setValue(name, value);
    ini.endGroup();
    ini.sync();
    if (ini.status() != QSettings::NoError)
        throw std::runtime_error("Could not save the setting " + name.toStdString() + " in "
                                 + m_path.toStdString());
    restrictToOwner();
}

void IniSettingsStore::restrictToOwner() const
{
    const QByteArray native = QFile::encodeName(m_path);
    ::chmod(native.constData(), S_IRUSR | S_IWUSR);
}
