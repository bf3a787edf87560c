#include "SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSettings>
#include <QStandardPaths>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kSection = QStringLiteral("Settings");
constexpr QByteArrayView kUtf8Bom = "\xEF\xBB\xBF";

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

[[noreturn]] void failWith(int err)
{
    throw std::runtime_error(std::strerror(err));
}

// ---- The INI text, as QSettings reads it ----------------------------------

struct IniLine
{
    qsizetype start = 0;
    qsizetype end = 0;
    qsizetype equals = -1;   // the first '=' outside double quotes
};

bool isIniSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The logical lines of the text after `from`: white space before a line is
// skipped; a line ends at a line break or ';' outside double quotes; a
// backslash takes the next character (an escaped line break continues the
// line); a line that starts with ';' is a comment and left out.
QList<IniLine> iniLines(QByteArrayView data, qsizetype from)
{
    QList<IniLine> lines;
    const qsizetype n = data.size();
    qsizetype i = from;
    while (i < n) {
        while (i < n && isIniSpace(data[i]))
            ++i;
        if (i == n)
            break;
        if (data[i] == ';') {
            while (i < n && data[i] != '\n' && data[i] != '\r')
                ++i;
            continue;
        }
        IniLine line{i, i, -1};
        bool quoted = false;
        for (; i < n; ++i) {
            const char c = data[i];
            if (c == '\\') {
                if (i + 1 < n) {
                    ++i;
                    if (i + 1 < n && ((data[i] == '\n' && data[i + 1] == '\r')
                                      || (data[i] == '\r' && data[i + 1] == '\n')))
                        ++i;
                }
            } else if (c == '"') {
                quoted = !quoted;
            } else if (!quoted) {
                if (c == '=' && line.equals < 0)
                    line.equals = i;
                else if (c == '\n' || c == '\r' || c == ';')
                    break;
            }
        }
        line.end = std::min(i, n);
        lines.append(line);
    }
    return lines;
}

qsizetype textStart(QByteArrayView data)
{
    return data.startsWith(kUtf8Bom) ? kUtf8Bom.size() : 0;
}

// What QSettings would refuse as a format error (a section without its ']',
// a line that is neither a section, a comment nor a value), or a NUL byte,
// which no settings text holds.
bool isWellFormed(QByteArrayView data)
{
    if (data.contains('\0'))
        return false;
    for (const IniLine &line : iniLines(data, textStart(data))) {
        const QByteArrayView text = data.sliced(line.start, line.end - line.start);
        if (text.startsWith('[') ? !text.contains(']') : line.equals < 0)
            return false;
    }
    return true;
}

// The value as QSettings reads it back unchanged: in double quotes (spaces at
// either end, commas and semicolons stay text), control characters escaped,
// the rest as UTF-8.
QByteArray iniValue(const QString &value)
{
    if (value.isEmpty())
        return {};
    // QSettings reads a leading "@@" as "@"; one "@" starts a typed value.
    const QByteArray utf8 = (value.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + value : value)
                                .toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 8);
    out += '"';
    // A hex escape goes on through every hex digit after it.
    bool afterHexEscape = false;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        const bool hexDigit = std::isxdigit(byte) != 0;
        const char *named = nullptr;
        switch (c) {
        case '\a': named = "\\a"; break;
        case '\b': named = "\\b"; break;
        case '\f': named = "\\f"; break;
        case '\n': named = "\\n"; break;
        case '\r': named = "\\r"; break;
        case '\t': named = "\\t"; break;
        case '\v': named = "\\v"; break;
        case '"': named = "\\\""; break;
        case '\\': named = "\\\\"; break;
        default: break;
        }
        if (named) {
            out += named;
            afterHexEscape = false;
        } else if (byte < 0x20 || byte == 0x7F || (afterHexEscape && hexDigit)) {
            out += "\\x" + QByteArray::number(byte, 16);
            afterHexEscape = true;
        } else {
            out += c;
            afterHexEscape = false;
        }
    }
    out += '"';
    return out;
}

// The text with `name` set to `value` in the section [Settings]: its first
// line (in any spelling of case) replaced, any other lines of that name
// removed, or a new line added at the end of the first such section.
QByteArray withValue(QByteArray data, const QString &name, const QString &value)
{
    const QByteArray entry = name.toUtf8() + '=' + iniValue(value);
    const QByteArray wanted = name.toUtf8();
    const QByteArrayView view(data);
    bool inSettings = false;
    int settingsSections = 0;
    std::optional<IniLine> lastInSection;
    QList<IniLine> matches;
    for (const IniLine &line : iniLines(view, textStart(view))) {
        const QByteArrayView text = view.sliced(line.start, line.end - line.start);
        if (text.startsWith('[')) {
            const qsizetype close = text.indexOf(']');
            const QByteArrayView section = (close < 0 ? text : text.first(close)).sliced(1).trimmed();
            inSettings = section == QByteArrayView("Settings");
            if (inSettings)
                ++settingsSections;
        } else if (inSettings && line.equals >= 0) {
            const QByteArrayView key = view.sliced(line.start, line.equals - line.start).trimmed();
            if (key.compare(wanted, Qt::CaseInsensitive) == 0)
                matches.append(line);
        }
        if (inSettings && settingsSections == 1)
            lastInSection = line;
    }

    if (matches.isEmpty()) {
        if (lastInSection) {
            // After the section's last line, a comment at its end included.
            qsizetype at = lastInSection->end;
            while (at < data.size() && data[at] != '\n' && data[at] != '\r')
                ++at;
            if (at == data.size()) {
                data += '\n' + entry + '\n';
            } else {
                const QByteArray lineBreak = data.mid(at, 2) == "\r\n" ? "\r\n" : data.mid(at, 1);
                data.insert(at + lineBreak.size(), entry + lineBreak);
            }
        } else {
            if (!data.isEmpty() && !data.endsWith('\n'))
                data += '\n';
            if (!data.isEmpty())
                data += '\n';
            data += "[Settings]\n" + entry + '\n';
        }
        return data;
    }
    for (qsizetype k = matches.size() - 1; k >= 1; --k) {
        qsizetype end = matches[k].end;
        if (end < data.size() && data[end] == '\r')
            ++end;
        if (end < data.size() && data[end] == '\n')
            ++end;
        data.remove(matches[k].start, end - matches[k].start);
    }
    // White space before a comment at the line's end stays with the comment.
    qsizetype end = matches[0].end;
    while (end > matches[0].start && (data[end - 1] == ' ' || data[end - 1] == '\t'))
        --end;
    data.replace(matches[0].start, end - matches[0].start, entry);
    return data;
}

// ---- The file ---------------------------------------------------------------

QByteArray readWhole(int fd)
{
    QByteArray data;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return data;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failWith(errno);
        }
        data.append(buffer, n);
    }
}

qint64 milliseconds(const timespec &t)
{
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Writes a new file beside the old one and renames it into place: the old
// file is never changed in place, and a link at the path is replaced, not
// followed.
void replaceFile(const QString &path, const QByteArray &bytes)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        failWith(errno ? errno : EACCES);
    QByteArray temp = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);   // mode 0600
    if (fd < 0)
        failWith(errno);
    const auto fail = [&](int err) {
        ::close(fd);
        ::unlink(temp.constData());
        failWith(err);
    };
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EINTR)
            fail(errno);
        if (n > 0)
            done += n;
    }
    if (::fsync(fd) != 0)
        fail(errno);
    // QSettings takes a file of the same size and modification time (to the
    // millisecond) for the one it read before: make the new one later.
    struct stat old {}, now {};
    const QByteArray native = QFile::encodeName(path);
    if (::lstat(native.constData(), &old) == 0 && ::fstat(fd, &now) == 0
        && milliseconds(now.st_mtim) <= milliseconds(old.st_mtim)) {
        const qint64 later = milliseconds(old.st_mtim) + 1;
        const timespec times[2] = {{0, UTIME_OMIT}, {time_t(later / 1000), long(later % 1000) * 1000000}};
        (void)::futimens(fd, times);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        failWith(err);
    }
    if (::rename(temp.constData(), native.constData()) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        failWith(err);
    }
}

} // namespace

QString IniSettingsStore::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Mirabo/Mirabo.conf");
}

IniSettingsStore::IniSettingsStore(QString path)
    : m_path(std::move(path))
{
    inspectFile();
}

void IniSettingsStore::inspectFile()
{
    const QByteArray native = QFile::encodeName(m_path);
    const QString shown = QDir::toNativeSeparators(m_path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        // Nothing there yet: the first save makes the file.
        if (errno == ENOENT || errno == ENOTDIR)
            return;
        m_readable = false;
        keepInMemory(QStringLiteral("The settings file %1 cannot be reached (%2). Mirabo goes on "
                                    "without saving its settings.")
                         .arg(shown, errnoText(errno)));
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        struct stat target {};
        m_readable = ::stat(native.constData(), &target) == 0 && S_ISREG(target.st_mode);
        keepInMemory(QStringLiteral("The settings file %1 is a link to another file. Mirabo does not "
                                    "change what a link points to, so changes to the settings are "
                                    "used until Mirabo is closed, but not saved.")
                         .arg(shown));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        m_readable = false;
        keepInMemory(QStringLiteral("%1 is %2, not a settings file. Mirabo leaves it as it is and "
                                    "goes on without saving its settings.")
                         .arg(shown, S_ISDIR(st.st_mode) ? QStringLiteral("a folder")
                                                         : QStringLiteral("not a regular file")));
        return;
    }

    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        setAside(errnoText(errno));
        return;
    }
    if ((st.st_mode & 077) != 0)
        (void)::fchmod(fd, st.st_mode & 0600);
    QString problem;
    try {
        if (!isWellFormed(readWhole(fd)))
            problem = QStringLiteral("it is damaged");
    } catch (const std::runtime_error &e) {
        problem = QString::fromLocal8Bit(e.what());
    }
    ::close(fd);
    if (!problem.isEmpty()) {
        setAside(problem);
        return;
    }
    if ((st.st_mode & S_IWUSR) == 0)
        keepInMemory(QStringLiteral("The settings file %1 is read-only, so Mirabo does not change it: "
                                    "changes to the settings are used until Mirabo is closed, but "
                                    "not saved.")
                         .arg(shown));
}

void IniSettingsStore::setAside(const QString &reason)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    QString aside = m_path + QStringLiteral(".damaged-") + stamp;
    struct stat st {};
    for (int n = 2; ::lstat(QFile::encodeName(aside).constData(), &st) == 0; ++n)
        aside = m_path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(aside).constData()) != 0) {
        m_readable = false;
        keepInMemory(QStringLiteral("The settings file %1 could not be read (%2), and it could not "
                                    "be kept aside either (%3). Mirabo leaves it as it is and goes "
                                    "on without saving its settings.")
                         .arg(QDir::toNativeSeparators(m_path), reason, errnoText(errno)));
        return;
    }
    m_notice = QStringLiteral("The settings file %1 could not be read (%2). It was kept as %3, and "
                              "Mirabo starts with new settings.")
                   .arg(QDir::toNativeSeparators(m_path), reason, QDir::toNativeSeparators(aside));
}

void IniSettingsStore::keepInMemory(const QString &notice)
{
    m_saving = false;
    m_notice = notice;
}

QString IniSettingsStore::read(const QString &name) const
{
    const auto held = m_held.constFind(name.toLower());
    if (held != m_held.cend())
        return *held;
    if (!m_readable)
        return {};
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
    if (read(name) == value)
        return;
    if (!m_saving) {
        m_held.insert(name.toLower(), value);
        return;
    }
    try {
        writeValue(name, value);
    } catch (const std::runtime_error &e) {
        m_saving = false;
        m_held.insert(name.toLower(), value);
        throw std::runtime_error(
            QStringLiteral("Could not save the setting %1 in %2: %3. Changes to the settings are "
                           "used until Mirabo is closed, but not saved.")
                .arg(name, QDir::toNativeSeparators(m_path), QString::fromLocal8Bit(e.what()))
                .toStdString());
    }
}

void IniSettingsStore::writeValue(const QString &name, const QString &value) const
{
    QByteArray data;
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        try {
            if (!regular)
                failWith(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
            data = readWhole(fd);
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
    } else if (errno != ENOENT) {
        failWith(errno);
    }
    replaceFile(m_path, withValue(std::move(data), name, value));
}
