#pragma once

#include <QString>

// The message component: builds one e-mail and writes it to a file.
// Errors are thrown as std::exception with a readable text.
class MailMessage
{
public:
    virtual ~MailMessage() = default;

    virtual void reset() = 0;
    virtual void setFrom(const QString &address) = 0;
    virtual void setTo(const QString &address) = 0;
    virtual void setMailer(const QString &mailer) = 0;   // the X-Mailer field
    virtual void setSubject(const QString &subject) = 0;
    virtual void setBody(const QString &text) = 0;       // lines end in CR LF
    virtual void attachFile(const QString &path) = 0;
    // Writes the whole message; the file then holds exactly this message.
    virtual void saveToFile(const QString &path) = 0;
    // Called before the file is sent; leaves the file holding the message.
    virtual void verifyFile(const QString &path) = 0;
};
