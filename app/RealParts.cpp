#include "RealParts.h"

#include "Dialogs.h"
#include "GstCapture.h"
#include "GstMediaPlayer.h"
#include "SettingsStore.h"
#include "VmimeMailMessage.h"
#include "CurlSmtpComponent.h"
#include "WorkFolder.h"

RealParts::RealParts(const QString &programDir, const QString &settingsPath, Dialogs *dialogs)
    : m_programDir(programDir)
    , m_folder(std::make_unique<WorkFolder>(workfiles::workingFolder(programDir)))
    , m_dialogs(dialogs)
{
    // A second copy touches nothing, the settings file included.
    if (!m_folder->claim())
        return;
    m_capture = std::make_unique<GstCapture>();
    m_player = std::make_unique<GstMediaPlayer>();
    m_message = std::make_unique<VmimeMailMessage>();
    m_smtp = std::make_unique<CurlSmtpComponent>();
    m_store = std::make_unique<IniSettingsStore>(settingsPath.isEmpty() ? IniSettingsStore::defaultPath()
                                                                        : settingsPath);
    if (!dialogs) {
        m_qtDialogs = std::make_unique<QtDialogs>();
        m_dialogs = m_qtDialogs.get();
    }
}

RealParts::~RealParts() = default;

bool RealParts::ownsFolder() const
{
    return m_folder->claimed();
}

FormParts RealParts::parts()
{
    return FormParts{*m_capture, *m_player, *m_message, *m_smtp, *m_store, *m_dialogs, *m_folder,
                     m_programDir};
}

void RealParts::setDialogParent(QWidget *window)
{
    if (m_qtDialogs)
        m_qtDialogs->setParent(window);
}
