// The settings panel below the window's lower edge.
#include "frmMain.h"

#include "LayoutScale.h"
#include "SettingNames.h"
#include "SettingsStore.h"

#include <QAction>
#include <QLineEdit>
#include <QMenuBar>

namespace {

const std::array<QString, 5> kPanelNames = {settingnames::EmailAddress, settingnames::FullName,
                                            settingnames::SMTP, settingnames::PanelUserName,
                                            settingnames::Password};

// Title bar, menu bar and borders of the window as first designed; the outer
// heights of the panel command assume them, so they are taken off to find
// the client height whatever the window manager here adds.
constexpr int kDesignNonClientPx = 52;
constexpr int kTwipsPerPixel = 15;

} // namespace

void frmMain::txtDetails_Change(int index)
{
    if (index < 0 || index > 4)
        return;
    // What the box shows is what the next message uses, whether or not the
    // store could keep it.
    const QString text = txtDetails[index]->text();
    *m_current.fields()[index] = text;
    m_store.save(kPanelNames[index], text);
}

void frmMain::mnuEmailSettings_Click()
{
    if (mnuEmailSettings->text() == QStringLiteral("Show Email Settings")) {
        mnuEmailSettings->setText(QStringLiteral("Hide Email Settings"));
        setOuterHeight(9600);
        reachSettingsPanel(true);
    } else {
        mnuEmailSettings->setText(QStringLiteral("Show Email Settings"));
        reachSettingsPanel(false);
        setOuterHeight(7980);
    }
}

void frmMain::setOuterHeight(int twips)
{
    const int client = scaledPx(twips / kTwipsPerPixel - kDesignNonClientPx, m_layoutScale);
    setFixedSize(width(), client + menuBar()->sizeHint().height());
}

// Beyond the five settings: the format the next compression makes.
void frmMain::mnuPhoneVideo_Click()
{
    const bool on = mnuPhoneVideo->isChecked();
    m_session.setForPhones(on);
    m_store.save(settingnames::PhoneVideo, on ? QStringLiteral("1") : QStringLiteral("0"));
}
