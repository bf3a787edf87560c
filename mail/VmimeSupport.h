#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringView>

#include <vmime/utility/inputStream.hpp>

#include <stdexcept>
#include <string>

// Small pieces the vmime message component needs.
namespace vmimesupport {

// vmime needs its platform handler before the first message.
void initialise();

// SHA-256 by GnuTLS, ten times Qt's own speed here: a clip-sized message
// is hashed on the window's thread.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(const void *data, size_t size);
    // Reads the device to its end; false when reading fails.
    [[nodiscard]] bool add(QIODevice &device);
    [[nodiscard]] QByteArray result();

private:
    void *m_handle = nullptr;
};

// A file that cannot be read as it should.
class FileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A file, or its first bytes, as a vmime input stream. Opening and reading
// throw FileError when the file is, or turns out, shorter than that, so a
// file changed under our feet is never sent or attached cut short; also
// when a symbolic link or anything but a regular file stands at the name.
class FileInputStream final : public vmime::utility::inputStream
{
public:
    // length < 0: the whole file.
    explicit FileInputStream(const QString &path, qint64 length = -1);

    [[nodiscard]] qint64 length() const { return m_length; }

    bool eof() const override;
    void reset() override;
    size_t read(vmime::byte_t *data, size_t count) override;
    size_t skip(size_t count) override;
    size_t getBlockSize() override;

private:
    QFile m_file;
    QString m_path;
    qint64 m_length = 0;
    qint64 m_position = 0;
};

} // namespace vmimesupport
