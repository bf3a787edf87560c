#include "FirstRun.h"

#include "Dialogs.h"
#include "SettingNames.h"
#include "SettingsStore.h"

#include <exception>

namespace {

QString withoutSpaces(QString text)
{
    return text.remove(QLatin1Char(' '));
}

bool onlySpaces(const QString &text)
{
    return withoutSpaces(text).isEmpty();
}

// An answer that could not be stored is reported, and the questions go on:
// the store keeps what it could not write for this run.
void store(SettingsStore &settings, Dialogs &dialogs, const QString &name, const QString &value)
{
    try {
        settings.save(name, value);
    } catch (const std::exception &e) {
        dialogs.message(QString::fromUtf8(e.what()));
    }
}

} // namespace

bool runFirstRunSetup(SettingsStore &settings, Dialogs &dialogs)
{
    dialogs.message(QStringLiteral(
        "This is probably the first time you have run this program. Before you can use it, you "
        "need to type in some information, You may need to find some information from your "
        "Internet provider's web pages or help line. Theres No problem if you get the details "
        "wrong, you can allways alter them later. Click the OK button to proceed. "));

    for (;;) {
        QString address = dialogs.textEntry(QStringLiteral("Please Type Your Email Address"),
                                            QStringLiteral("Email Address"), QString());
        if (onlySpaces(address))
            return false;
        address = withoutSpaces(address);
        if (!address.contains(QLatin1Char('@'))) {
            dialogs.message(
                QStringLiteral("You must have an '@' symbol somewhere in your email address"));
            continue;
        }
        store(settings, dialogs, settingnames::EmailAddress, address.toLower());
        break;
    }

    QString name = dialogs.textEntry(
        QStringLiteral(
            "Please Type Your Full Name Exactly how you want it to appear in your video emails"),
        QStringLiteral("Whats Your Name?"), QString());
    if (name.isEmpty())
        name = QStringLiteral("Amonymous");
    store(settings, dialogs, settingnames::FullName, name);

    for (;;) {
        const QString server
            = withoutSpaces(dialogs.textEntry(
                                QStringLiteral("Please Type the name of your Internet provider's "
                                               "SMTP Mail Server, this will be something like "
                                               "smtp.example.net"),
                                QStringLiteral("SMTP Mail Server"), QStringLiteral("smtp.")))
                  .toLower();
        if (!server.contains(QLatin1Char('.'))) {
            dialogs.message(
                QStringLiteral("The Server name must have some '.' (dots) in it somewhere"));
            continue;
        }
        store(settings, dialogs, settingnames::SMTP, server);
        break;
    }

    store(settings, dialogs, settingnames::UserName,
          dialogs.textEntry(QStringLiteral("Please Type your Email Username"),
                            QStringLiteral("Email SMTP Server Username"), QString()));
    store(settings, dialogs, settingnames::Password,
          dialogs.textEntry(QStringLiteral("Please Type your Email Password"),
                            QStringLiteral("Email SMTP Server Password"), QString(),
                            Dialogs::Echo::Password));

    dialogs.message(QStringLiteral(
        "Thats it, you're now ready to start sending Video Emails to your friends. If you need to "
        "alter these settings again, click on FILE, Settings....Have Fun !"));
    return true;
}
