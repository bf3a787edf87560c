#include "RealParts.h"

#include "Dialogs.h"
#include "GstCapture.h"
#include "GstMediaPlayer.h"
#include "SettingsStore.h"
#include "VmimeMailMessage.h"
#include "CurlSmtpComponent.h"
#include "WorkFiles.h"

RealParts::RealParts(const QString &programDir, const QString &settingsPath, Dialogs *dialogs)
    : m_programDir(programDir)
    , m_workDir(workfiles::workingFolder(programDir))
    , m_capture(std::make_unique<GstCapture>())
    , m_player(std::make_unique<GstMediaPlayer>())
    , m_message(std::make_unique<VmimeMailMessage>())
    , m_smtp(std::make_unique<CurlSmtpComponent>())
    , m_store(std::make_unique<IniSettingsStore>(settingsPath.isEmpty()
                                                     ? IniSettingsStore::defaultPath()
                                                     : settingsPath))
    , m_qtDialogs(dialogs ? nullptr : std::make_unique<QtDialogs>())
    , m_dialogs(dialogs ? dialogs : m_qtDialogs.get())
{
}

RealParts::~RealParts() = default;

FormParts RealParts::parts()
{
    return FormParts{*m_capture, *m_player, *m_message, *m_smtp, *m_store, *m_dialogs, m_programDir,
                     m_workDir};
}

void RealParts::setDialogParent(QWidget *window)
{
    if (m_qtDialogs)
        m_qtDialogs->setParent(window);
}
