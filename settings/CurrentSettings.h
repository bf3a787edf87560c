#pragma once

#include <QString>

struct CurrentSettings
{
    QString EmailAddress;
    QString FullName;
    QString SMTP;
    QString UserName;
    QString Password;
};
