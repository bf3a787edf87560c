// The Devices menu and the capture device's own settings dialogs.
#include "frmMain.h"

#include "CaptureComponent.h"
#include "Dialogs.h"

#include <QAction>
#include <QMenu>

#include <algorithm>

void frmMain::mnuDevs_Click(int index)
{
    LiveVideo.setCurrentDevice(index);
}

void frmMain::mnuMics_Click(int index)
{
    LiveVideo.setCurrentMicrophone(index);
}

// Entry k names camera k and the current camera is marked; with no camera the
// design's single entry "dummy" stays. The microphones follow under their own
// heading, the current one marked. Filled at start-up and again whenever a
// device is plugged in or out.
void frmMain::fillDevicesMenu()
{
    if (!mnuMicsTitle)
        mnuMicsTitle = mnuDevices->addSection(QStringLiteral("Microphones"));
    const int32_t count = std::max<int32_t>(LiveVideo.deviceCount(), 0);
    while (int32_t(mnuDevs.size()) > std::max<int32_t>(count, 1)) {
        delete mnuDevs.back();
        mnuDevs.pop_back();
    }
    for (auto k = int32_t(mnuDevs.size()); k < count; ++k) {
        auto *entry = new QAction(mnuDevices);
        mnuDevices->insertAction(mnuMicsTitle, entry);
        connectMenuEntry(entry, &frmMain::mnuDevs_Click, k);
        mnuDevs.push_back(entry);
    }
    if (count == 0)
        mnuDevs[0]->setText(QStringLiteral("dummy"));
    for (int32_t k = 0; k < count; ++k)
        mnuDevs[size_t(k)]->setText(LiveVideo.deviceName(k));

    const int32_t microphones = std::max<int32_t>(LiveVideo.microphoneCount(), 0);
    while (int32_t(mnuMics.size()) > microphones) {
        delete mnuMics.back();
        mnuMics.pop_back();
    }
    for (auto k = int32_t(mnuMics.size()); k < microphones; ++k) {
        QAction *entry = mnuDevices->addAction(QString());
        connectMenuEntry(entry, &frmMain::mnuMics_Click, k);
        mnuMics.push_back(entry);
    }
    for (int32_t k = 0; k < microphones; ++k)
        mnuMics[size_t(k)]->setText(LiveVideo.microphoneName(k));
    mnuMicsTitle->setVisible(microphones > 0);
    markCurrentDevice();
}

void frmMain::LiveVideo_DevicesChanged()
{
    fillDevicesMenu();
}

void frmMain::markCurrentDevice()
{
    const int32_t current = LiveVideo.currentDevice();
    for (size_t k = 0; k < mnuDevs.size(); ++k) {
        mnuDevs[k]->setCheckable(true);
        mnuDevs[k]->setChecked(int32_t(k) == current);
    }
    const int32_t microphone = LiveVideo.currentMicrophone();
    for (size_t k = 0; k < mnuMics.size(); ++k) {
        mnuMics[k]->setCheckable(true);
        mnuMics[k]->setChecked(int32_t(k) == microphone);
    }
}

void frmMain::mnuShowDisplay_Click()
{
    if (LiveVideo.displayDialogAvailable())
        LiveVideo.showDisplayDialog();
    else
        m_dialogs.message(QStringLiteral("Can't Show those options"));
}

void frmMain::mnuShowFormat_Click()
{
    if (LiveVideo.formatDialogAvailable())
        LiveVideo.showFormatDialog();
    else
        m_dialogs.message(QStringLiteral("Can't Show those options"));
}

void frmMain::mnuShowSource_Click()
{
    if (LiveVideo.sourceDialogAvailable())
        LiveVideo.showSourceDialog();
    else
        m_dialogs.message(QStringLiteral("Can't show those options"));
}
