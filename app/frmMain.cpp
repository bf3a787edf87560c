#include "frmMain.h"

#include "AppIcon.h"
#include "CaptureComponent.h"
#include "Dialogs.h"
#include "FirstRun.h"
#include "MediaPlayer.h"
#include "RecentRecipients.h"
#include "SettingNames.h"
#include "SettingsStore.h"
#include "SmtpComponent.h"
#include "WorkFiles.h"
#include "ui_frmMain.h"

#include <QCompleter>
#include <QDir>
#include <QFocusEvent>
#include <QScreen>
#include <QSignalBlocker>
#include <QStringListModel>

#include <algorithm>

namespace {

const QString kStep2Text = QStringLiteral(
    "Send a video email in 7 Easy Steps. If you're own email address has not appeared in the "
    "email from box, type it in now, otherwise, type in the email address of the person you "
    "wish to send a VideoEmail to and then press the TAB key.");

const std::array<QString, 5> kPanelNames = {settingnames::EmailAddress, settingnames::FullName,
                                            settingnames::SMTP, settingnames::PanelUserName,
                                            settingnames::Password};

// Title bar, menu bar and borders of the window as first designed; the outer
// heights of the panel command assume them, so they are taken off to find
// the client height whatever the window manager here adds.
constexpr int kDesignNonClientPx = 52;
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidthPx = 676;
constexpr int kClientHeightPx = 480;

} // namespace

frmMain::frmMain(const FormParts &parts, QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::frmMain>())
    , LiveVideo(parts.capture)
    , Player(parts.player)
    , Mime(parts.message)
    , SmtpClient(parts.smtp)
    , m_store(parts.store)
    , m_dialogs(parts.dialogs)
    , m_programDir(parts.programDir)
    , m_workDir(parts.workDir.isEmpty() ? parts.programDir : parts.workDir)
{
    ui->setupUi(this);
    setWindowIcon(makeAppIcon());

    bindControls();
    setUpAccess();

    for (QWidget *w : std::initializer_list<QWidget *>{ui->LiveVideoView, ui->PlayerView, Frame1,
                                                       Frame2, PROsending})
        w->setFocusPolicy(Qt::NoFocus);
    showPasswordAsStars(txtDetails[4]);
    LiveVideo.setView(ui->LiveVideoView);
    Player.setView(ui->PlayerView);

    auto *completer = new QCompleter(this);
    m_recentRecipients = new QStringListModel(completer);
    completer->setModel(m_recentRecipients);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setMaxVisibleItems(recentrecipients::kKept);
    txtEmailTo->setCompleter(completer);

    ui->centralwidget->setFixedWidth(kClientWidthPx);
    setFixedSize(kClientWidthPx, kClientHeightPx + menuBar()->sizeHint().height());

    connectHandlers();
}

frmMain::~frmMain() = default;

QString frmMain::workFile(const QString &name) const
{
    return QDir(m_workDir).filePath(name);
}

void frmMain::load()
{
    guarded([this] { Form_Load(); });
}

void frmMain::showCentred()
{
    if (QScreen *s = screen()) {
        QRect r = frameGeometry();
        r.moveCenter(s->availableGeometry().center());
        move(r.topLeft());
    }
    show();
}

bool frmMain::event(QEvent *e)
{
    // Activation means the window coming up after start-up; returning from
    // one of the program's own message boxes leaves the focus where it was.
    if (e->type() == QEvent::WindowActivate && !m_activatedOnce) {
        m_activatedOnce = true;
        guarded([this] { Form_Activate(); });
    }
    return QMainWindow::event(e);
}

bool frmMain::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == txtEmailSubject && e->type() == QEvent::FocusIn) {
        const auto reason = static_cast<QFocusEvent *>(e)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            guarded([this] { txtEmailSubject_GotFocus(); });
    }
    return QMainWindow::eventFilter(watched, e);
}

// ---- Start-up -------------------------------------------------------------

void frmMain::Form_Load()
{
    const QString storeNotice = m_store.notice();
    if (!storeNotice.isEmpty())
        m_dialogs.message(storeNotice);
    if (m_store.read(settingnames::EmailAddress).isEmpty()) {
        if (!runFirstRunSetup(m_store, m_dialogs))
            return;
    }

    const auto fields = m_current.fields();
    for (size_t i = 0; i < fields.size(); ++i)
        *fields[i] = m_store.read(settingnames::All[i]);
    // Filling the boxes is no edit: the store holds these values already,
    // and a value longer than a box takes must not be cut short there.
    for (size_t i = 0; i < fields.size(); ++i) {
        const QSignalBlocker quiet(txtDetails[i]);
        txtDetails[i]->setText(*fields[i]);
    }
    m_recentRecipients->setStringList(
        recentrecipients::parse(m_store.read(settingnames::RecentRecipients)));

    txtEmailFrom->setText(QLatin1Char('"') + m_current.FullName + QStringLiteral("\" ")
                          + m_current.EmailAddress);

    resetStepLamps();
    lblInstructions->setText(kStep2Text);

    LiveVideo.setCaptureFileName(workFile(workfiles::Clip));

    if (LiveVideo.deviceCount() == 0) {
        m_dialogs.message(QStringLiteral("No Compatable Capture Devices Found"));
        return;
    }
    fillDevicesMenu();
}

void frmMain::Form_Activate()
{
    txtEmailTo->setFocus(Qt::OtherFocusReason);
}

// Every lamp out but steps 1 (done) and 2 (to do now).
void frmMain::resetStepLamps()
{
    for (Lamp *lamp : LEDsteps)
        lamp->setState(Lamp::Unlit);
    LEDsteps[0]->setState(Lamp::Done);
    LEDsteps[1]->setState(Lamp::Current);
}

// ---- Guidance -------------------------------------------------------------

void frmMain::txtEmailSubject_GotFocus()
{
    LEDsteps[1]->setState(Lamp::Done);
    LEDsteps[2]->setState(Lamp::Current);
    lblInstructions->setText(
        QStringLiteral("Now type in the Subject of your Video Email, then press the TAB key"));
}

void frmMain::BUTRecord_GotFocus()
{
    LEDsteps[2]->setState(Lamp::Done);
    LEDsteps[3]->setState(Lamp::Current);
    lblInstructions->setText(
        QStringLiteral("Now Click the Record button When you're ready to record your message. "
                       "Recording will start as soon as you click it"));
}

// ---- Settings panel -------------------------------------------------------

void frmMain::txtDetails_Change(int index)
{
    if (index < 0 || index > 4)
        return;
    const QString text = txtDetails[index]->text();
    m_store.save(kPanelNames[index], text);
    *m_current.fields()[index] = text;
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
    const int client = twips / kTwipsPerPixel - kDesignNonClientPx;
    setFixedSize(width(), client + menuBar()->sizeHint().height());
}

// ---- Devices and their dialogs --------------------------------------------

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
