#pragma once

#include "frmMain.h"

#include <memory>

class QtDialogs;
class IniSettingsStore;

// The real components, wired the way the program runs them. Tests that want
// the whole program use this too.
class RealParts
{
public:
    // settingsPath: the store's file; empty for the user's own.
    explicit RealParts(const QString &programDir, const QString &settingsPath = QString());
    ~RealParts();

    [[nodiscard]] FormParts parts();
    [[nodiscard]] QtDialogs &dialogs() { return *m_dialogs; }

private:
    QString m_programDir;
    std::unique_ptr<CaptureComponent> m_capture;
    std::unique_ptr<MediaPlayer> m_player;
    std::unique_ptr<MailMessage> m_message;
    std::unique_ptr<SmtpComponent> m_smtp;
    std::unique_ptr<IniSettingsStore> m_store;
    std::unique_ptr<QtDialogs> m_dialogs;
};
