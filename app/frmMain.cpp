#include "frmMain.h"

#include "AppIcon.h"
#include "CaptureComponent.h"
#include "Dialogs.h"
#include "FirstRun.h"
#include "InputGate.h"
#include "Lamp.h"
#include "LayoutScale.h"
#include "MediaPlayer.h"
#include "RecentRecipients.h"
#include "SettingNames.h"
#include "SettingsStore.h"
#include "ui_frmMain.h"

#include <QFocusEvent>
#include <QScreen>
#include <QSignalBlocker>


namespace {

const QString kStep2Text = QStringLiteral(
    "Send a video email in 7 Easy Steps. If you're own email address has not appeared in the "
    "email from box, type it in now, otherwise, type in the email address of the person you "
    "wish to send a VideoEmail to and then press the TAB key.");

constexpr int kClientWidthPx = 676;
constexpr int kClientHeightPx = 480;

} // namespace

frmMain::frmMain(const FormParts &parts, QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::frmMain>())
    , LiveVideo(parts.capture)
    , Player(parts.player)
    , Mime(parts.message)
    , m_store(parts.store)
    , m_dialogs(parts.dialogs)
    , m_session(SessionParts{parts.capture, parts.player, parts.message, parts.smtp, parts.folder,
                             parts.programDir})
{
    ui->setupUi(this);
    m_layoutScale = layoutScaleFor(font());
    scaleLayout(ui->centralwidget, m_layoutScale);
    for (QGroupBox *frame : {ui->Frame1, ui->Frame2})
        keepBelowCaption(frame);
    setWindowIcon(makeAppIcon());

    bindControls();
    setUpAccess();

    for (QWidget *w : std::initializer_list<QWidget *>{ui->LiveVideoView, ui->PlayerView, Frame1,
                                                       Frame2, PROsending})
        w->setFocusPolicy(Qt::NoFocus);
    showPasswordAsStars(txtDetails[4]);
    LiveVideo.setView(ui->LiveVideoView);
    Player.setView(ui->PlayerView);

    m_recentRecipients = new RecipientCompleter(this);
    txtEmailTo->setCompleter(m_recentRecipients);

    const int clientWidth = scaledPx(kClientWidthPx, m_layoutScale);
    ui->centralwidget->setFixedWidth(clientWidth);
    setFixedSize(clientWidth, scaledPx(kClientHeightPx, m_layoutScale) + menuBar()->sizeHint().height());

    connectHandlers(parts.folder);
}

frmMain::~frmMain() = default;

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
    m_recentRecipients->setStored(m_store.read(settingnames::RecentRecipients));
    mnuPhoneVideo->setChecked(m_store.read(settingnames::PhoneVideo) == QLatin1String("1"));
    m_session.setForPhones(mnuPhoneVideo->isChecked());

    txtEmailFrom->setText(QLatin1Char('"') + m_current.FullName + QStringLiteral("\" ")
                          + m_current.EmailAddress);

    resetStepLamps();
    lblInstructions->setText(kStep2Text);

    LiveVideo.setCaptureFileName(m_session.file(workfiles::Clip));
    Session_Restored(m_session.restore());

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
