#pragma once

#include <QString>
#include <array>

struct CurrentSettings
{
    QString EmailAddress;
    QString FullName;
    QString SMTP;
    QString UserName;
    QString Password;

    // In the order of settingnames::All.
    [[nodiscard]] std::array<QString *, 5> fields()
    {
        return {&EmailAddress, &FullName, &SMTP, &UserName, &Password};
    }
};
