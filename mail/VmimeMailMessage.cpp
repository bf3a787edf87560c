#include "VmimeMailMessage.h"

#include "MailAddress.h"
#include "MailText.h"
#include "RegularFile.h"
#include "VmimeSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUuid>

#include <vmime/contentTypeField.hpp>
#include <vmime/vmime.hpp>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using mailtext::utf8;

namespace {

const vmime::charset kUtf8(vmime::charsets::UTF_8);

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(utf8(text));
}

// The header carries what the envelope will: the same rule, the same ASCII form.
QString sendableAddress(const QString &address, const QString &role)
{
    if (const QString why = whyNotSendable(address); !why.isEmpty()) {
        throw std::invalid_argument(
            utf8(QStringLiteral("The %1 address \"%2\" %3.").arg(role, mailtext::oneLine(address), why)));
    }
    return withAsciiDomain(address);
}

// vmime's own ID ends in the machine's name; the sender's domain tells nothing new.
vmime::messageId messageIdFor(const QString &sender)
{
    const QString left = QUuid::createUuid().toString(QUuid::Id128);
    return vmime::messageId(utf8(left), utf8(sender.mid(sender.lastIndexOf(QLatin1Char('@')) + 1)));
}

// Every line of the body ends in CR LF, whatever the caller used.
QString crlfLines(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 32);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            out.append(QLatin1String("\r\n"));
        } else {
            out.append(c);
        }
    }
    return out;
}

// Unstructured header text, encoded as a whole where it needs encoding: vmime
// 0.9.2 folds a mixed plain and encoded text with a doubled space.
vmime::text headerText(const QString &text)
{
    return vmime::text(vmime::word(utf8(text), kUtf8));
}

// vmime's output into a QSaveFile, hashed on the way.
class SaveFileStream final : public vmime::utility::outputStream
{
public:
    explicit SaveFileStream(QSaveFile &file)
        : m_file(file)
    {
    }

    void flush() override {}
    [[nodiscard]] qint64 written() const { return m_written; }
    [[nodiscard]] QByteArray digest() { return m_hash.result(); }

protected:
    void writeImpl(const vmime::byte_t *const data, const size_t count) override
    {
        const auto *bytes = reinterpret_cast<const char *>(data);
        const auto size = static_cast<qint64>(count);
        if (m_file.write(bytes, size) != size)
            fail(QStringLiteral("Cannot write %1: %2").arg(m_file.fileName(), m_file.errorString()));
        m_hash.add(bytes, count);
        m_written += size;
    }

private:
    QSaveFile &m_file;
    vmimesupport::Sha256 m_hash;
    qint64 m_written = 0;
};

QByteArray sha256Of(QFile &file, const QString &path)
{
    vmimesupport::Sha256 hash;
    if (!hash.add(file))
        fail(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    return hash.result();
}

} // namespace

VmimeMailMessage::VmimeMailMessage()
{
    vmimesupport::initialise();
}

VmimeMailMessage::~VmimeMailMessage() = default;

void VmimeMailMessage::reset()
{
    m_from.clear();
    m_to.clear();
    m_mailer.clear();
    m_subject.clear();
    m_body.clear();
    m_attachments.clear();
}

void VmimeMailMessage::setFrom(const QString &address)
{
    m_from = sendableAddress(address, QStringLiteral("sender"));
}

void VmimeMailMessage::setTo(const QString &address)
{
    m_to = sendableAddress(address, QStringLiteral("recipient"));
}

void VmimeMailMessage::setMailer(const QString &mailer)
{
    m_mailer = mailtext::oneLine(mailer);
}

void VmimeMailMessage::setSubject(const QString &subject)
{
    m_subject = mailtext::oneLine(subject);
}

void VmimeMailMessage::setBody(const QString &text)
{
    m_body = crlfLines(text);
}

void VmimeMailMessage::attachFile(const QString &path)
{
    const QFileInfo info(path);
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        fail(QStringLiteral("Cannot attach %1: there is no such file.").arg(path));
    if (S_ISLNK(st.st_mode))
        fail(QStringLiteral("Cannot attach %1: it is a symbolic link, not a file of its own.").arg(path));
    if (!S_ISREG(st.st_mode))
        fail(QStringLiteral("Cannot attach %1: it is not a regular file.").arg(path));
    if (!info.isReadable())
        fail(QStringLiteral("Cannot attach %1: the file cannot be read.").arg(path));
    m_attachments.append(info.absoluteFilePath());
}

void VmimeMailMessage::saveToFile(const QString &path)
{
    if (m_from.isEmpty())
        fail(QStringLiteral("The message has no sender address."));
    if (m_to.isEmpty())
        fail(QStringLiteral("The message has no recipient address."));
    m_saved.reset();

    // QSaveFile would write to what a link points to: a link at the name is
    // removed instead, and the message becomes a file of its own.
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode) && ::unlink(native.constData()) != 0)
        fail(QStringLiteral("Cannot write the message to %1: %2")
                 .arg(path, QString::fromLocal8Bit(std::strerror(errno))));

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot write the message to %1: %2").arg(path, file.errorString()));
    SaveFileStream out(file);
    try {
        vmime::messageBuilder builder;
        builder.setExpeditor(vmime::mailbox(utf8(m_from)));
        builder.getRecipients().appendAddress(vmime::make_shared<vmime::mailbox>(utf8(m_to)));
        builder.setSubject(headerText(m_subject));

        auto text = vmime::dynamicCast<vmime::plainTextPart>(builder.getTextPart());
        text->setCharset(kUtf8);
        text->setText(vmime::make_shared<vmime::stringContentHandler>(utf8(m_body)));

        for (const QString &attachment : m_attachments) {
            auto stream = vmime::make_shared<vmimesupport::FileInputStream>(attachment);
            auto contents = vmime::make_shared<vmime::streamContentHandler>(
                stream, static_cast<size_t>(stream->length()));
            builder.appendAttachment(vmime::make_shared<vmime::fileAttachment>(
                contents, vmime::word(utf8(QFileInfo(attachment).fileName()), kUtf8),
                vmime::mediaType(vmime::mediaTypes::VIDEO,
                                 attachment.endsWith(QLatin1String(".mp4"), Qt::CaseInsensitive) ? "mp4" : "mpeg"),
                vmime::text(),
                vmime::encoding(vmime::encodingTypes::BASE64)));
        }

        const auto message = builder.construct();
        const auto header = message->getHeader();
        if (!m_mailer.isEmpty()) {
            auto field = vmime::headerFieldFactory::getInstance()->create("X-Mailer");
            field->setValue(headerText(m_mailer));
            header->appendField(field);
        }
        header->MessageId()->setValue(messageIdFor(m_from));
        message->generate(out);
    } catch (const vmime::exception &e) {
        file.cancelWriting();
        fail(QStringLiteral("Cannot compose the message: %1").arg(QString::fromUtf8(e.what())));
    } catch (...) {
        file.cancelWriting();
        throw;
    }
    if (!file.commit())
        fail(QStringLiteral("Cannot write the message to %1: %2").arg(path, file.errorString()));
    m_saved = SavedFile{QFileInfo(path).absoluteFilePath(), out.written(), out.digest()};
}

void VmimeMailMessage::verifyFile(const QString &path)
{
    QFile file(path);
    if (QString why; !openRegularFile(file, why))
        fail(QStringLiteral("Cannot read the message %1: %2").arg(path, why));

    // The file saved here last is complete when it is still what was written.
    if (m_saved && m_saved->path == QFileInfo(path).absoluteFilePath()) {
        if (file.size() != m_saved->size || sha256Of(file, path) != m_saved->sha256)
            fail(QStringLiteral("The message %1 changed after it was written; compose it again.")
                     .arg(path));
        return;
    }

    const QByteArray bytes = file.readAll();
    if (bytes.size() != file.size())
        fail(QStringLiteral("Cannot read the message %1: %2").arg(path, file.errorString()));
    const auto incomplete = [&](const QString &what) {
        fail(QStringLiteral("The message %1 is incomplete: %2.").arg(path, what));
    };
    if (!bytes.endsWith("\r\n"))
        incomplete(QStringLiteral("it does not end with a complete line"));

    vmime::message message;
    try {
        message.parse(std::string(bytes.constData(), static_cast<size_t>(bytes.size())));
    } catch (const vmime::exception &e) {
        fail(QStringLiteral("The message %1 cannot be read: %2").arg(path, QString::fromUtf8(e.what())));
    }
    const auto header = message.getHeader();
    for (const char *name : {vmime::fields::FROM, vmime::fields::TO, vmime::fields::DATE,
                             vmime::fields::MESSAGE_ID, vmime::fields::MIME_VERSION}) {
        if (!header->hasField(name))
            incomplete(QStringLiteral("it has no %1 field").arg(QLatin1String(name)));
    }
    if (header->hasField(vmime::fields::CONTENT_TYPE)) {
        const auto type = vmime::dynamicCast<vmime::contentTypeField>(header->ContentType());
        if (type->getValue<vmime::mediaType>()->getType() == vmime::mediaTypes::MULTIPART) {
            const std::string closing = "\r\n--" + type->getBoundary() + "--";
            if (!bytes.contains(QByteArrayView(closing.data(), qsizetype(closing.size()))))
                incomplete(QStringLiteral("its last part is cut short"));
        }
    }
}
