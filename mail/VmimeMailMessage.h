#pragma once

#include "MailMessage.h"

#include <QByteArray>
#include <QStringList>

#include <optional>

// The message component on vmime.
//
// The message is multipart/mixed: a text/plain part in UTF-8 (7bit when the
// text allows it, else quoted-printable), then each attached file as
// video/mpeg (video/mp4 for a .mp4) in base64 under its own file name. The
// subject and the X-Mailer text are RFC 2047 encoded where needed; their line
// breaks become spaces.
// Date, MIME-Version and a fresh Message-ID are set on every save; the ID's
// right-hand side is the sender's domain, never the machine's name.
// Addresses must pass whyNotSendable() (MailAddress.h), else they are
// refused; a domain goes into the header in its ASCII form, as in the envelope.
// saveToFile writes a new file and renames it into place; a symbolic link at
// the name is removed first, never written through. An attachment, and the
// file verifyFile checks, must be a regular file at its name: a symbolic
// link there is refused, never read through.
//
// verifyFile(path) checks, before the file goes out, that it still holds a
// complete message: the file this object saved last must be byte for byte
// what was written (size and SHA-256); any other file must parse as a
// message with From, To, Date, Message-ID and MIME-Version and, when
// multipart, hold its closing boundary. It never changes the file.
//
// Every failure is thrown as std::runtime_error (std::invalid_argument for
// refused values) with a text that can be shown to the user.
class VmimeMailMessage final : public MailMessage
{
public:
    VmimeMailMessage();
    ~VmimeMailMessage() override;

    void reset() override;
    void setFrom(const QString &address) override;
    void setTo(const QString &address) override;
    void setMailer(const QString &mailer) override;
    void setSubject(const QString &subject) override;
    void setBody(const QString &text) override;
    void attachFile(const QString &path) override;
    void saveToFile(const QString &path) override;
    void verifyFile(const QString &path) override;

private:
    struct SavedFile
    {
        QString path;
        qint64 size = 0;
        QByteArray sha256;
    };

    QString m_from;
    QString m_to;
    QString m_mailer;
    QString m_subject;
    QString m_body;
    QStringList m_attachments;
    std::optional<SavedFile> m_saved;
};
