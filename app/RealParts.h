#pragma once

#include "frmMain.h"

#include <memory>

class GstCapture;
class GstMediaPlayer;
class IniSettingsStore;
class QtDialogs;
class VmimeMailMessage;
class CurlSmtpComponent;
class WorkFolder;

// The real components, wired the way the program runs them. Tests that want
// the whole program use this too, answering the dialogues themselves.
class RealParts
{
public:
    // settingsPath: the store's file, empty for the user's own; dialogs:
    // who answers the program's questions, null for Qt's dialogues. The
    // working files go to workfiles::workingFolder(programDir), which is
    // claimed first, before any component is made.
    explicit RealParts(const QString &programDir, const QString &settingsPath = QString(),
                       Dialogs *dialogs = nullptr);
    ~RealParts();

    // False when another copy of the program holds the working folder; then
    // no component is made and parts() may not be asked for.
    [[nodiscard]] bool ownsFolder() const;
    [[nodiscard]] WorkFolder &folder() { return *m_folder; }

    [[nodiscard]] FormParts parts();
    // Message boxes belong to the window once it is up.
    void setDialogParent(QWidget *window);

    [[nodiscard]] GstCapture &capture() { return *m_capture; }
    [[nodiscard]] GstMediaPlayer &player() { return *m_player; }
    [[nodiscard]] VmimeMailMessage &message() { return *m_message; }
    [[nodiscard]] CurlSmtpComponent &smtp() { return *m_smtp; }
    [[nodiscard]] IniSettingsStore &store() { return *m_store; }

private:
    QString m_programDir;
    std::unique_ptr<WorkFolder> m_folder;
    std::unique_ptr<GstCapture> m_capture;
    std::unique_ptr<GstMediaPlayer> m_player;
    std::unique_ptr<VmimeMailMessage> m_message;
    std::unique_ptr<CurlSmtpComponent> m_smtp;
    std::unique_ptr<IniSettingsStore> m_store;
    std::unique_ptr<QtDialogs> m_qtDialogs;
    Dialogs *m_dialogs;
};
