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

// Entry k names device k and the current device is marked; with no device the
// design's single entry "dummy" stays. Filled at start-up and again whenever
// a camera is plugged in or out.
void frmMain::fillDevicesMenu()
{
    const int32_t count = std::max<int32_t>(LiveVideo.deviceCount(), 0);
    while (int32_t(mnuDevs.size()) > std::max<int32_t>(count, 1)) {
        delete mnuDevs.back();
        mnuDevs.pop_back();
    }
    for (auto k = int32_t(mnuDevs.size()); k < count; ++k) {
        QAction *entry = mnuDevices->addAction(QString());
        connectDeviceEntry(entry, k);
        mnuDevs.push_back(entry);
    }
    if (count == 0)
        mnuDevs[0]->setText(QStringLiteral("dummy"));
    for (int32_t k = 0; k < count; ++k)
        mnuDevs[size_t(k)]->setText(LiveVideo.deviceName(k));
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
