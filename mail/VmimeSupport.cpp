#include "VmimeSupport.h"

#include "MailText.h"
#include "RegularFile.h"

#include <vmime/platform.hpp>
#include <vmime/platforms/posix/posixHandler.hpp>

#include <gnutls/crypto.h>

#include <algorithm>
#include <mutex>

namespace vmimesupport {

using mailtext::utf8;

void initialise()
{
    static std::once_flag once;
    std::call_once(once, [] { vmime::platform::setHandler<vmime::platforms::posix::posixHandler>(); });
}

Sha256::Sha256()
{
    gnutls_hash_hd_t handle = nullptr;
    if (gnutls_hash_init(&handle, GNUTLS_DIG_SHA256) < 0)
        throw std::runtime_error("SHA-256 is not available.");
    m_handle = handle;
}

Sha256::~Sha256()
{
    if (m_handle)
        gnutls_hash_deinit(static_cast<gnutls_hash_hd_t>(m_handle), nullptr);
}

void Sha256::add(const void *data, size_t size)
{
    gnutls_hash(static_cast<gnutls_hash_hd_t>(m_handle), data, size);
}

bool Sha256::add(QIODevice &device)
{
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 got = device.read(buffer.data(), buffer.size());
        if (got < 0)
            return false;
        if (got == 0)
            return device.atEnd();
        add(buffer.constData(), static_cast<size_t>(got));
    }
}

QByteArray Sha256::result()
{
    QByteArray digest(32, Qt::Uninitialized);
    gnutls_hash_output(static_cast<gnutls_hash_hd_t>(m_handle), digest.data());
    return digest;
}

FileInputStream::FileInputStream(const QString &path, qint64 length)
    : m_file(path)
    , m_path(path)
{
    if (QString why; !openRegularFile(m_file, why, QIODevice::Unbuffered))
        throw FileError(utf8(QStringLiteral("Cannot read the file %1: %2").arg(path, why)));
    if (length > m_file.size())
        throw FileError(utf8(QStringLiteral("The file %1 changed while it was read").arg(path)));
    m_length = length < 0 ? m_file.size() : length;
}

bool FileInputStream::eof() const
{
    return m_position >= m_length;
}

void FileInputStream::reset()
{
    if (!m_file.seek(0))
        throw FileError(utf8(QStringLiteral("Cannot reread the file %1: %2")
                                          .arg(m_path, m_file.errorString())));
    m_position = 0;
}

size_t FileInputStream::read(vmime::byte_t *data, size_t count)
{
    const qint64 wanted = std::min<qint64>(static_cast<qint64>(count), m_length - m_position);
    if (wanted <= 0)
        return 0;
    auto *bytes = reinterpret_cast<char *>(data);
    const qint64 got = m_file.read(bytes, wanted);
    if (got != wanted) {
        throw FileError(utf8(QStringLiteral("The file %1 changed while it was read").arg(m_path)));
    }
    m_position += got;
    return static_cast<size_t>(got);
}

size_t FileInputStream::skip(size_t count)
{
    const qint64 skipped = std::min<qint64>(static_cast<qint64>(count), m_length - m_position);
    if (skipped <= 0 || !m_file.seek(m_position + skipped))
        return 0;
    m_position += skipped;
    return static_cast<size_t>(skipped);
}

size_t FileInputStream::getBlockSize()
{
    return 64 * 1024;
}

} // namespace vmimesupport
