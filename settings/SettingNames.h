#pragma once

#include <QString>
#include <array>

// The names the five settings are stored under, in the order of the settings
// panel's boxes and of the first-run questions.
namespace settingnames {

inline const QString EmailAddress = QStringLiteral("EmailAddress");
inline const QString FullName = QStringLiteral("FullName");
inline const QString SMTP = QStringLiteral("SMTP");
inline const QString UserName = QStringLiteral("UserName");
inline const QString Password = QStringLiteral("Password");

inline const std::array<QString, 5> All = {EmailAddress, FullName, SMTP, UserName, Password};

// The settings panel writes the user name with this spelling; the store
// matches names without regard to case, so both address one value.
inline const QString PanelUserName = QStringLiteral("Username");

// Not one of the five: the last recipients, offered in the recipient box.
inline const QString RecentRecipients = QStringLiteral("RecentRecipients");
// Not one of the five either: "1" when the video goes out as MP4 for phones.
inline const QString PhoneVideo = QStringLiteral("PhoneVideo");

} // namespace settingnames
