#include "frmMain.h"

#include "AppIcon.h"
#include "CaptureComponent.h"
#include "Dialogs.h"
#include "FirstRun.h"
#include "MediaPlayer.h"
#include "SettingsStore.h"
#include "SmtpComponent.h"

#include <QDir>
#include <QFocusEvent>
#include <QScreen>
#include <exception>

namespace {

const QString kStep2Text = QStringLiteral(
    "Send a video email in 7 Easy Steps. If you're own email address has not appeared in the "
    "email from box, type it in now, otherwise, type in the email address of the person you "
    "wish to send a VideoEmail to and then press the TAB key.");
// The panel boxes' value names; the user name is written as "Username" here
// and read as "UserName" at start-up, which the store treats as one name.
const std::array<QString, 5> kPanelNames = {
    QStringLiteral("EmailAddress"), QStringLiteral("FullName"), QStringLiteral("SMTP"),
    QStringLiteral("Username"),     QStringLiteral("Password")};

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
    , LiveVideo(parts.capture)
    , Player(parts.player)
    , Mime(parts.message)
    , SmtpClient(parts.smtp)
    , m_store(parts.store)
    , m_dialogs(parts.dialogs)
    , m_programDir(parts.programDir)
{
    ui.setupUi(this);
    setWindowIcon(makeAppIcon());

    Label1 = {ui.Label1_0, ui.Label1_1, ui.Label1_2, ui.Label1_3, ui.Label1_4,
              ui.Label1_5, ui.Label1_6, ui.Label1_7, ui.Label1_8, ui.Label1_9};
    Label2 = {ui.Label2_0, ui.Label2_1, ui.Label2_2, ui.Label2_3, ui.Label2_4};
    Label3 = ui.Label3;
    LEDsteps = {ui.LEDsteps_0, ui.LEDsteps_1, ui.LEDsteps_2, ui.LEDsteps_3,
                ui.LEDsteps_4, ui.LEDsteps_5, ui.LEDsteps_6};
    LEDONAIR = {ui.LEDONAIR_0, ui.LEDONAIR_1};
    txtEmailFrom = ui.txtEmailFrom;
    txtEmailTo = ui.txtEmailTo;
    txtEmailSubject = ui.txtEmailSubject;
    txtDetails = {ui.txtDetails_0, ui.txtDetails_1, ui.txtDetails_2, ui.txtDetails_3,
                  ui.txtDetails_4};
    BUTRecord = ui.BUTRecord;
    BUTstopRecord = ui.BUTstopRecord;
    BUTplay = ui.BUTplay;
    BUTcompress = ui.BUTcompress;
    BUTsend = ui.BUTsend;
    PROsending = ui.PROsending;
    lblStatus = ui.lblStatus;
    lblInstructions = ui.lblInstructions;
    lblONAIR = ui.lblONAIR;
    Frame1 = ui.Frame1;
    Frame2 = ui.Frame2;
    mnuDevices = ui.mnuDevices;
    mnuDevs = {ui.mnuDevs_0};
    mnuSettings = ui.mnuSettings;
    mnuShowDisplay = ui.mnuShowDisplay;
    mnuShowFormat = ui.mnuShowFormat;
    mnuShowSource = ui.mnuShowSource;
    mnuEmailSettings = ui.mnuEmailSettings;

    for (QWidget *w : std::initializer_list<QWidget *>{ui.LiveVideoView, ui.PlayerView, Frame1,
                                                       Frame2, PROsending})
        w->setFocusPolicy(Qt::NoFocus);
    LiveVideo.setView(ui.LiveVideoView);
    Player.setView(ui.PlayerView);

    ui.centralwidget->setFixedWidth(kClientWidthPx);
    setFixedSize(kClientWidthPx, kClientHeightPx + menuBar()->sizeHint().height());

    connectHandlers();
}

frmMain::~frmMain() = default;

QString frmMain::workFile(const QString &name) const
{
    return QDir(m_programDir).filePath(name);
}

template <typename Handler> void frmMain::guarded(Handler &&handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        m_dialogs.message(QString::fromUtf8(e.what()));
    } catch (...) {
        m_dialogs.message(QStringLiteral("An unexpected error occurred."));
    }
}

void frmMain::connectHandlers()
{
    txtEmailSubject->installEventFilter(this);
    connect(BUTRecord, &FlatButton::gotFocus, this, [this] { guarded([this] { BUTRecord_GotFocus(); }); });
    connect(BUTRecord, &QAbstractButton::clicked, this, [this] { guarded([this] { BUTRecord_Click(); }); });
    connect(BUTstopRecord, &QAbstractButton::clicked, this, [this] { guarded([this] { BUTstopRecord_Click(); }); });
    connect(BUTplay, &QAbstractButton::clicked, this, [this] { guarded([this] { BUTplay_Click(); }); });
    connect(BUTcompress, &QAbstractButton::clicked, this, [this] { guarded([this] { BUTcompress_Click(); }); });
    connect(BUTsend, &QAbstractButton::clicked, this, [this] { guarded([this] { BUTsend_Click(); }); });
    connect(&LiveVideo, &CaptureComponent::statusText, this, [this](int32_t code, const QString &text) {
        guarded([&] { LiveVideo_StatusText(code, text); });
    });
    connect(&LiveVideo, &CaptureComponent::yieldRequested, this, [this] { guarded([this] { LiveVideo_Yield(); }); });
    connect(&SmtpClient, &SmtpComponent::connected, this, [this] { guarded([this] { SmtpClient_Connected(); }); });
    connect(&SmtpClient, &SmtpComponent::progress, this, [this](qint64, qint64, int16_t percent) {
        guarded([&] { SmtpClient_Progress(percent); });
    });
    for (int i = 0; i < int(txtDetails.size()); ++i) {
        connect(txtDetails[i], &QLineEdit::textChanged, this, [this, i] { guarded([this, i] { txtDetails_Change(i); }); });
    }
    connect(mnuEmailSettings, &QAction::triggered, this, [this] { guarded([this] { mnuEmailSettings_Click(); }); });
    connect(mnuDevs[0], &QAction::triggered, this, [this] { guarded([this] { mnuDevs_Click(0); }); });
    connect(mnuShowDisplay, &QAction::triggered, this, [this] { guarded([this] { mnuShowDisplay_Click(); }); });
    connect(mnuShowFormat, &QAction::triggered, this, [this] { guarded([this] { mnuShowFormat_Click(); }); });
    connect(mnuShowSource, &QAction::triggered, this, [this] { guarded([this] { mnuShowSource_Click(); }); });
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
    if (m_store.read(QStringLiteral("EmailAddress")).isEmpty()) {
        if (!runFirstRunSetup(m_store, m_dialogs))
            return;
    }

    m_current.EmailAddress = m_store.read(QStringLiteral("EmailAddress"));
    m_current.FullName = m_store.read(QStringLiteral("FullName"));
    m_current.SMTP = m_store.read(QStringLiteral("SMTP"));
    m_current.UserName = m_store.read(QStringLiteral("UserName"));
    m_current.Password = m_store.read(QStringLiteral("Password"));

    txtDetails[0]->setText(m_current.EmailAddress);
    txtDetails[1]->setText(m_current.FullName);
    txtDetails[2]->setText(m_current.SMTP);
    txtDetails[3]->setText(m_current.UserName);
    txtDetails[4]->setText(m_current.Password);

    txtEmailFrom->setText(QLatin1Char('"') + m_current.FullName + QStringLiteral("\" ")
                          + m_current.EmailAddress);

    LEDsteps[0]->setState(1);
    LEDsteps[1]->setState(2);
    lblInstructions->setText(kStep2Text);

    LiveVideo.setCaptureFileName(workFile(QStringLiteral("video.avi")));

    const int32_t count = LiveVideo.deviceCount();
    if (count == 0) {
        m_dialogs.message(QStringLiteral("No Compatable Capture Devices Found"));
        return;
    }
    for (int32_t k = 1; k < count; ++k) {
        QAction *entry = mnuDevices->addAction(QString());
        connect(entry, &QAction::triggered, this, [this, k] { guarded([this, k] { mnuDevs_Click(k); }); });
        mnuDevs.push_back(entry);
    }
    for (int32_t k = 0; k < count; ++k)
        mnuDevs[k]->setText(LiveVideo.deviceName(k));
}

void frmMain::Form_Activate()
{
    txtEmailTo->setFocus(Qt::OtherFocusReason);
}

// ---- Guidance -------------------------------------------------------------

void frmMain::txtEmailSubject_GotFocus()
{
    LEDsteps[1]->setState(1);
    LEDsteps[2]->setState(2);
    lblInstructions->setText(
        QStringLiteral("Now type in the Subject of your Video Email, then press the TAB key"));
}

void frmMain::BUTRecord_GotFocus()
{
    LEDsteps[2]->setState(1);
    LEDsteps[3]->setState(2);
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
    QString *fields[] = {&m_current.EmailAddress, &m_current.FullName, &m_current.SMTP,
                         &m_current.UserName, &m_current.Password};
    *fields[index] = text;
}

void frmMain::mnuEmailSettings_Click()
{
    if (mnuEmailSettings->text() == QStringLiteral("Show Email Settings")) {
        mnuEmailSettings->setText(QStringLiteral("Hide Email Settings"));
        setOuterHeight(9600);
    } else {
        mnuEmailSettings->setText(QStringLiteral("Show Email Settings"));
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
