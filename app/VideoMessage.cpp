#include "VideoMessage.h"

#include "CurrentSettings.h"
#include "MailAddress.h"
#include "MailMessage.h"

namespace {

const QString kDownloadPage = QStringLiteral("https://mirabo.example.org/download");

QString bodyText(const QString &fullName)
{
    const QString crlf = QStringLiteral("\r\n");
    return QStringLiteral("There is a MPEG Video attachment to this email from ") + fullName
           + QStringLiteral(", double-click / open it to play it") + crlf
           + QStringLiteral("If you have a webcam or other video input device, download a free "
                            "copy of 'Mirabo' today at ")
           + kDownloadPage + crlf + crlf + QStringLiteral("This email was sent using Mirabo v")
           + versionText() + crlf + QStringLiteral("Freeware Video Emailer") + crlf;
}

} // namespace

QString versionText()
{
    return QStringLiteral("%1.%2%3")
        .arg(MIRABO_VERSION_MAJOR)
        .arg(MIRABO_VERSION_MINOR)
        .arg(MIRABO_VERSION_PATCH);
}

void composeVideoMessage(MailMessage &message, const CurrentSettings &settings,
                         const QString &recipient, const QString &subject,
                         const QString &attachmentPath)
{
    message.reset();
    message.setFrom(settings.EmailAddress);
    message.setTo(recipient);
    message.setMailer(QStringLiteral("Mirabo v") + versionText() + QStringLiteral(" By Dorvale"));
    // The message component makes line breaks in the subject spaces.
    message.setSubject(QStringLiteral("Mirabo: ") + subject);
    message.setBody(bodyText(settings.FullName));
    message.attachFile(attachmentPath);
}

QString addressProblem(const QString &sender, const QString &recipient)
{
    if (!isPlainMailAddress(recipient))
        return QStringLiteral(
            "Please type the e-mail address of the person you are sending to as one plain "
            "address, such as friend@example.com: no spaces, no line breaks, only one address.");
    if (!isPlainMailAddress(sender))
        return QStringLiteral(
            "Your own e-mail address under Settings, Show Email Settings, must be one plain "
            "address, such as you@example.com: no name, no spaces, no line breaks, only one "
            "address.");
    for (const QString &address : {sender, recipient}) {
        if (const QString why = whyNotSendable(address); !why.isEmpty())
            return QStringLiteral("The address %1 %2. Please use another address.").arg(address, why);
    }
    return {};
}
